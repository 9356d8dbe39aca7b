#include "pick_from_list.h"

#include "base/branch_list.h"
#include "base/error.h"
#include "data_access.h"
#include "error_reporter.h"
#include "message_table.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace dotz {

std::optional<std::vector<std::string>> parseKeyList(std::string_view text)
{
    BranchListReading list = readBranchList(text);
    if (list.fault != BranchListReading::Fault::None)
        return std::nullopt;
    std::vector<std::string> keys;
    for (BranchListCode& code : list.codes)
        keys.push_back(std::move(code.code));
    return keys;
}

TPickListDialog::TPickListDialog(TDataSource* source, const QString& keyField, const QString& title,
                                 bool singleChoice, const std::vector<std::string>& chosen,
                                 QWidget* parent)
    : QDialog(parent), list_(new QTreeWidget(this)), singleChoice_(singleChoice)
{
    setObjectName(QStringLiteral("PickFromList"));
    setWindowTitle(title);
    TSqlQuery* query = source->DataSet();
    const int key = query->FieldByName(keyField)->index();

    const auto& fields = query->Fields();
    QStringList labels;
    for (const TSqlStringField* field : fields)
        labels << field->DisplayLabel();
    list_->setHeaderLabels(labels);
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    const QFontMetrics metrics(list_->font());
    for (size_t f = 0; f < fields.size(); ++f)
        list_->setColumnWidth(static_cast<int>(f),
                              metrics.averageCharWidth() * (fields[f]->DisplayWidth() + 2) + 24);

    for (size_t row = 0; row < query->RecordCount(); ++row) {
        auto* item = new QTreeWidgetItem(list_);
        for (size_t f = 0; f < fields.size(); ++f)
            item->setText(static_cast<int>(f),
                          displayText(query->valueAt(row, fields[f]->index())));
        std::string value = query->valueAt(row, key);
        const bool ticked = std::find(chosen.begin(), chosen.end(), value) != chosen.end();
        item->setCheckState(0, ticked ? Qt::Checked : Qt::Unchecked);
        keys_.push_back(std::move(value));
    }
    list_->setCurrentItem(list_->topLevelItem(0));
    connect(list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* changed) {
        if (!singleChoice_ || changed->checkState(0) != Qt::Checked)
            return;
        for (int i = 0; i < list_->topLevelItemCount(); ++i)
            if (list_->topLevelItem(i) != changed)
                list_->topLevelItem(i)->setCheckState(0, Qt::Unchecked);
    });

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancelar"), QDialogButtonBox::RejectRole);
    if (!singleChoice) {
        auto* all =
            buttons->addButton(QStringLiteral("Marcar todas"), QDialogButtonBox::ActionRole);
        auto* none =
            buttons->addButton(QStringLiteral("Desmarcar todas"), QDialogButtonBox::ActionRole);
        connect(all, &QPushButton::clicked, this, [this] {
            for (int i = 0; i < rowCount(); ++i)
                setChosen(i, true);
        });
        connect(none, &QPushButton::clicked, this, [this] {
            for (int i = 0; i < rowCount(); ++i)
                setChosen(i, false);
        });
    }
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(buttons);
    resize(420, 360);
}

int TPickListDialog::rowCount() const
{
    return list_->topLevelItemCount();
}

void TPickListDialog::setChosen(int row, bool chosen)
{
    list_->topLevelItem(row)->setCheckState(0, chosen ? Qt::Checked : Qt::Unchecked);
}

std::vector<std::string> TPickListDialog::chosenKeys() const
{
    std::vector<std::string> keys;
    for (int i = 0; i < rowCount(); ++i)
        if (list_->topLevelItem(i)->checkState(0) == Qt::Checked)
            keys.push_back(keys_[static_cast<size_t>(i)]);
    return keys;
}

bool PickFromList(TDataSource* source, std::string_view keyField, std::string_view title,
                  bool singleChoice, std::string& list)
{
    if (!source || !source->DataSet())
        throw Error(
            "Lista de escolha: não há fonte de dados, ou a fonte de dados não tem consulta.");
    TSqlQuery* query = source->DataSet();
    const QString key = QString::fromStdString(std::string(keyField));
    query->FieldByName(key); // a wrong key field fails before anything is shown
    if (!query->Active())
        query->Open();
    if (query->RecordCount() == 0) {
        showMessage(MessageKind::Information,
                    source->emptyListMessage().isEmpty()
                        ? QStringLiteral("Não há registros para escolher.")
                        : source->emptyListMessage());
        return false;
    }
    const auto chosen = parseKeyList(list).value_or(std::vector<std::string>{});
    TPickListDialog dialog(source, key, displayText(title), singleChoice, chosen,
                           QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted)
        return false;
    list = branchListText(dialog.chosenKeys());
    return true;
}

} // namespace dotz
