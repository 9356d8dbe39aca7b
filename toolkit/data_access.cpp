#include "data_access.h"

#include "base/cp1252.h"
#include "base/error.h"
#include "settings/settings.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include <filesystem>
#include <fstream>

namespace dotz {
namespace {

std::string str(const QString& text)
{
    return text.toStdString();
}

} // namespace

void openLocalDatabase(const Settings& settings)
{
    const std::string driverSetting = settings.value("database", "driver").value_or("sqlite");
    QString driver;
    if (driverSetting == "sqlite")
        driver = QStringLiteral("QSQLITE");
    else if (driverSetting == "postgresql")
        driver = QStringLiteral("QPSQL");
    else
        throw Error("Arquivo de configurações " + settings.path() + ": [database] driver \"" +
                    driverSetting + "\" não é sqlite nem postgresql.");
    auto name = settings.value("database", "name");
    if (!name || name->empty())
        throw Error("Arquivo de configurações " + settings.path() +
                    ": [database] name não foi informado.");
    if (driverSetting == "sqlite")
        // A relative file is found beside the settings file, wherever the host starts.
        name = (std::filesystem::path(settings.path()).parent_path() / *name).string();
    if (driverSetting == "sqlite" && !std::ifstream(*name))
        // SQLite would create an empty file and the picker would list nothing.
        throw Error("O banco de dados local " + *name + " não existe.");

    closeLocalDatabase();
    QSqlDatabase db = QSqlDatabase::addDatabase(driver, QString::fromLatin1(kLocalDatabase));
    if (!db.isValid())
        throw Error("Banco de dados local: o driver " + str(driver) +
                    " do Qt SQL não está instalado.");
    db.setDatabaseName(QString::fromStdString(*name));
    if (const auto host = settings.value("database", "host"))
        db.setHostName(QString::fromStdString(*host));
    if (const auto port = settings.value("database", "port"))
        db.setPort(QString::fromStdString(*port).toInt());
    if (const auto user = settings.value("database", "user"))
        db.setUserName(QString::fromStdString(*user));
    if (const auto password = settings.value("database", "password"))
        db.setPassword(QString::fromStdString(*password));
    if (!db.open())
        throw Error("O banco de dados local " + *name + " (" + driverSetting +
                        ") não pode ser aberto.",
                    str(db.lastError().text()));
}

void closeLocalDatabase()
{
    const QString name = QString::fromLatin1(kLocalDatabase);
    if (!QSqlDatabase::contains(name))
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

TSqlStringField::TSqlStringField(TSqlQuery* query, QString fieldName, int size,
                                 QString displayLabel, int displayWidth)
    : QObject(query), query_(query), fieldName_(std::move(fieldName)), size_(size),
      displayLabel_(std::move(displayLabel)), displayWidth_(displayWidth)
{
}

std::string TSqlStringField::AsString() const
{
    if (!query_->Active() || query_->Eof())
        return {};
    return query_->valueAt(query_->RecNo(), index_);
}

TSqlQuery::TSqlQuery(QObject* owner) : QObject(owner) {}

TSqlStringField* TSqlQuery::addStringField(const QString& name, int size, const QString& label,
                                           int displayWidth)
{
    auto* field = new TSqlStringField(this, name, size, label, displayWidth);
    field->index_ = static_cast<int>(fields_.size());
    fields_.push_back(field);
    return field;
}

TSqlStringField* TSqlQuery::FieldByName(const QString& name) const
{
    for (TSqlStringField* field : fields_)
        if (field->FieldName() == name)
            return field;
    throw Error("A consulta " + str(objectName()) + " não tem o campo " + str(name) + ".");
}

void TSqlQuery::Open()
{
    if (active_)
        return;
    const std::string what = "A consulta " + str(objectName());
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    if (!db.isValid() || !db.isOpen())
        throw Error(what + ": o banco de dados local (" + str(connectionName_) +
                    ") não está aberto; verifique [database] nas configurações.");
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(sql_.join(QLatin1Char('\n'))))
        throw Error(what + " falhou.", str(query.lastError().text()));

    std::vector<int> columns;
    const QSqlRecord record = query.record();
    for (const TSqlStringField* field : fields_) {
        const int column = record.indexOf(field->FieldName());
        if (column < 0)
            throw Error(what + ": o resultado não tem a coluna " + str(field->FieldName()) + ".");
        columns.push_back(column);
    }
    std::vector<std::vector<std::string>> rows;
    while (query.next()) {
        std::vector<std::string> row;
        row.reserve(fields_.size());
        for (size_t f = 0; f < fields_.size(); ++f) {
            const QVariant value = query.value(columns[f]);
            const std::string where = what + ", campo " + str(fields_[f]->FieldName()) +
                                      ", linha " + std::to_string(rows.size() + 1);
            std::string text =
                value.isNull() ? std::string() : cp1252::fromUtf8(str(value.toString()), where);
            if (static_cast<int>(text.size()) > fields_[f]->Size())
                throw Error(where + ": \"" + str(value.toString()) + "\" tem mais de " +
                            std::to_string(fields_[f]->Size()) + " caracteres.");
            row.push_back(std::move(text));
        }
        rows.push_back(std::move(row));
    }
    rows_ = std::move(rows);
    row_ = 0;
    active_ = true;
}

void TSqlQuery::Close()
{
    rows_.clear();
    row_ = 0;
    active_ = false;
}

} // namespace dotz
