// The export screen as its description builds it: controls, texts, geometry,
// fonts, tab order, bindings, initial state and the message table.
#include "qt_test_env.h"

#include "base/error.h"
#include "export/messages.h"
#include "screen/export_dotz.h"
#include "toolkit/message_table.h"

#include <gtest/gtest.h>

#include <QProgressBar>
#include <QTest>

namespace dotz {
namespace {

// Catches the warnings of connections that a description could not make.
QStringList* connectWarnings = nullptr;
void recordWarning(QtMsgType, const QMessageLogContext&, const QString& text)
{
    if (connectWarnings)
        connectWarnings->append(text);
}

class ExportScreen : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        QStringList warnings;
        connectWarnings = &warnings;
        const auto previous = qInstallMessageHandler(recordWarning);
        form = std::make_unique<TfrmExportaDotz>();
        qInstallMessageHandler(previous);
        connectWarnings = nullptr;
        EXPECT_TRUE(warnings.isEmpty()) << warnings.join(QLatin1Char('\n')).toStdString();
    }

    template <class T = QWidget> T* control(const char* name) const
    {
        T* found = form->findChild<T*>(QString::fromLatin1(name));
        EXPECT_TRUE(found) << name;
        return found;
    }

    std::unique_ptr<TfrmExportaDotz> form;
};

TEST_F(ExportScreen, InitialState)
{
    EXPECT_TRUE(form->rbtTodasFilial->isChecked());
    EXPECT_FALSE(form->rbtListaFilial->isChecked());
    EXPECT_FALSE(form->btnFilial->isEnabled());
    EXPECT_FALSE(form->cboArquivo515->isChecked());
    EXPECT_TRUE(form->DepPeriodDe->Text().isEmpty());
    EXPECT_TRUE(form->depPeriodAte->Text().isEmpty());
    EXPECT_TRUE(form->listaFilial().empty());
    EXPECT_FALSE(form->qryFilial->Active());
    EXPECT_FALSE(form->netExportaDotz->Connected());
    EXPECT_LE(control<QProgressBar>("pgbProgresso")->value(), 0);
    // No day read yet: nothing for the branch checks to refuse.
    EXPECT_NO_THROW(form->Vd_Parceiro());
    EXPECT_NO_THROW(form->Vd_Diretorio());
}

TEST_F(ExportScreen, TextsAsTheOperatorReadsThem)
{
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Exportação DOTZ"));
    const std::pair<const char*, QString> texts[] = {
        {"lblCodTela", QStringLiteral("KRT52410")},
        {"lblDePeriodo", QStringLiteral("De")},
        {"lblAtePeriodo", QStringLiteral("Até")},
    };
    for (const auto& [name, text] : texts)
        EXPECT_EQ(control<QLabel>(name)->text(), text) << name;
    EXPECT_EQ(form->grbFilial->title(), QStringLiteral("Filial"));
    EXPECT_EQ(form->grbDataExporta->title(), QStringLiteral("Período para Exportação"));
    EXPECT_EQ(form->cboArquivo515->text(), QStringLiteral("Exporta arquivo 515"));
    EXPECT_EQ(form->rbtTodasFilial->text(), QStringLiteral("Todas"));
    EXPECT_EQ(form->rbtListaFilial->text(), QStringLiteral("Lista"));
    EXPECT_EQ(form->btnFilial->toolTip(), QStringLiteral("Pesquisar"));
    EXPECT_EQ(control("sbtImportExport")->toolTip(), QStringLiteral("Exportar"));
}

TEST_F(ExportScreen, Geometry)
{
    EXPECT_EQ(form->size(), QSize(397, 149));
    EXPECT_EQ(form->storedPosition(), QPoint(353, 353));
    EXPECT_EQ(form->formStyle(), TForm::fsMDIChild);
    const std::pair<const char*, QRect> rects[] = {
        {"grbDadosRel", {0, 0, 342, 117}},   {"panMenu", {342, 0, 55, 117}},
        {"panProgresso", {0, 117, 397, 32}}, {"Image1", {1172, 887, 16, 16}},
        {"Image2", {1172, 905, 16, 16}},     {"cboArquivo515", {8, 10, 325, 17}},
        {"grbFilial", {8, 29, 160, 78}},     {"grbDataExporta", {174, 29, 160, 78}},
        {"rbtTodasFilial", {8, 23, 75, 17}}, {"rbtListaFilial", {8, 47, 75, 17}},
        {"btnFilial", {88, 45, 21, 21}},     {"lblDePeriodo", {7, 26, 20, 13}},
        {"DepPeriodDe", {32, 22, 96, 21}},   {"lblAtePeriodo", {8, 56, 22, 13}},
        {"depPeriodAte", {32, 51, 96, 21}},
    };
    for (const auto& [name, rect] : rects)
        EXPECT_EQ(control(name)->geometry(), rect) << name;
    EXPECT_EQ(control("lblCodTela")->width(), 53);
    EXPECT_EQ(control("pgbProgresso")->width(), 395);
    EXPECT_EQ(control("sbtImportExport")->parentWidget()->objectName(),
              QStringLiteral("panBotoes"));
}

TEST_F(ExportScreen, FontsAndDateEditSettings)
{
    for (const char* name : {"cboArquivo515", "grbFilial", "grbDataExporta", "rbtTodasFilial",
                             "rbtListaFilial", "lblDePeriodo", "lblAtePeriodo"}) {
        const QFont font = control(name)->font();
        EXPECT_EQ(font.family(), QStringLiteral("MS Sans Serif")) << name;
        EXPECT_EQ(font.pointSize(), 8) << name;
        EXPECT_TRUE(font.bold()) << name;
    }
    for (TDateEdit* edit : {form->DepPeriodDe, form->depPeriodAte}) {
        EXPECT_FALSE(edit->font().bold());
        EXPECT_EQ(edit->font().pointSize(), 8);
        EXPECT_EQ(edit->colorRole(), QPalette::ToolTipBase);
        EXPECT_EQ(edit->validDateColor(), QColor(0, 0, 255));
        EXPECT_FALSE(edit->keepTime());
        EXPECT_EQ(edit->dayNames(),
                  (QStringList{QStringLiteral("Domingo"), QStringLiteral("Segunda"),
                               QStringLiteral("Terça"), QStringLiteral("Quarta"),
                               QStringLiteral("Quinta"), QStringLiteral("Sexta"),
                               QStringLiteral("Sábado")}));
        EXPECT_FALSE(edit->glyph().isNull());
    }
    EXPECT_EQ(form->btnFilial->associate(), QStringLiteral("rbtListaFilial"));
    EXPECT_EQ(form->btnFilial->associatedControl(), form->rbtListaFilial);
    EXPECT_EQ(form->btnFilial->title(), QStringLiteral("Filial"));
    EXPECT_EQ(form->dtsFilial->emptyListMessage(), QStringLiteral("Não há filial cadastrada."));
    EXPECT_EQ(form->btnFilial->dataSource(), form->dtsFilial);
    EXPECT_EQ(form->netExportaDotz->ServerName(), QStringLiteral("Krt52410.rdmExportaDotz"));
    EXPECT_FALSE(form->netExportaDotz->RaiseErrors());
    EXPECT_EQ(form->qryFilial->SQL().join(QLatin1Char('|')),
              QStringLiteral("SELECT|   CDFILIAL, NMFILIAL|FROM|   FILIAL|ORDER BY|   CDFILIAL"));
    EXPECT_EQ(form->qryFilialCDFILIAL->DisplayLabel(), QStringLiteral("Código"));
    EXPECT_EQ(form->qryFilialNMFILIAL->Size(), 30);
}

TEST_F(ExportScreen, TabOrderIsBranchStartEndThen515)
{
    const std::vector<QWidget*> order = {form->rbtTodasFilial, form->rbtListaFilial,
                                         form->DepPeriodDe, form->depPeriodAte,
                                         form->cboArquivo515};
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        QWidget* next = order[i]->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        EXPECT_EQ(next, order[i + 1]) << order[i]->objectName().toStdString();
    }
    EXPECT_EQ(form->btnFilial->focusPolicy(), Qt::NoFocus);
}

TEST_F(ExportScreen, BranchRadioButtonsDriveTheSearchButton)
{
    form->show();
    QTest::mouseClick(form->rbtListaFilial, Qt::LeftButton);
    EXPECT_TRUE(form->rbtListaFilial->isChecked());
    EXPECT_TRUE(form->btnFilial->isEnabled());
    QTest::mouseClick(form->rbtListaFilial, Qt::LeftButton); // again: stays
    EXPECT_TRUE(form->btnFilial->isEnabled());
    QTest::mouseClick(form->rbtTodasFilial, Qt::LeftButton);
    EXPECT_FALSE(form->btnFilial->isEnabled());
    EXPECT_TRUE(form->listaFilial().empty());
}

TEST_F(ExportScreen, MessageTableHoldsTheTwelveEntriesInOrder)
{
    const std::pair<const char*, QString> entries[] = {
        {"FILI_INF", QStringLiteral("Filial deve ser informada.")},
        {"DATA_INF", QStringLiteral("Data deve ser informada.")},
        {"DATA_INV", QStringLiteral("não é uma data válida.")},
        {"CONFIRMA", QStringLiteral("Atenção! Os seguintes caixas não possuem vendas para o dia "
                                    "informado. Deseja continuar? %s")},
        {"PARC_N_CAD", QStringLiteral("Operação bloqueada. Código do parceiro não cadastrado para "
                                      "as seguintes filiais: %s.")},
        {"EXP_OK", QStringLiteral("Exportação realizada com sucesso.")},
        {"NAO_HA_DOTZ",
         QStringLiteral("Operação bloqueada. Não há pontos DOTZ a serem exportados.")},
        {"FILIAL", QStringLiteral("Filial")},
        {"DIR_N_CAD", QStringLiteral("Operação bloqueada. Diretório destino do arquivo DOTZ não "
                                     "cadastrado para as seguintes filiais: %s.")},
        {"DataIni_Inf", QStringLiteral("Data Inicial deve ser Informada.")},
        {"DataFin_Inf", QStringLiteral("Data Final deve ser Informada.")},
        {"DataIni>Fin", QStringLiteral("Data Inicial não pode ser maior do que a Data Final.")},
    };
    const TMessageTable* table = form->messages();
    ASSERT_EQ(table->table().lines().size(), std::size(entries));
    size_t i = 0;
    for (const auto& [key, text] : entries) {
        EXPECT_EQ(displayText(table->MessageText(key)), text) << key;
        const std::string& line = table->table().lines()[i++];
        EXPECT_EQ(line.substr(0, line.find('|')), key);
    }
    EXPECT_EQ(displayText(formatMessage(table->MessageText("PARC_N_CAD"), "'0001','0002'")),
              QStringLiteral("Operação bloqueada. Código do parceiro não cadastrado para as "
                             "seguintes filiais: '0001','0002'."));
    EXPECT_THROW(table->MessageText("NAO_EXISTE"), Error);
}

} // namespace
} // namespace dotz
