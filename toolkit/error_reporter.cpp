#include "error_reporter.h"

#include "base/error.h"
#include "export/checks.h"
#include "message_table.h"

#include <QApplication>
#include <QMessageBox>
#include <QWidget>

#include <algorithm>
#include <cstdio>

namespace dotz {
namespace {

MessageSink& sink()
{
    static MessageSink current;
    return current;
}

void showBox(MessageKind kind, const QString& text)
{
    const auto icon = kind == MessageKind::Error     ? QMessageBox::Critical
                      : kind == MessageKind::Warning ? QMessageBox::Warning
                                                     : QMessageBox::Information;
    QWidget* parent = QApplication::activeWindow();
    QMessageBox box(icon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    // A busy action may hold the wait cursor; over its message the operator gets a pointer.
    const bool busy = QApplication::overrideCursor() != nullptr;
    if (busy)
        QApplication::setOverrideCursor(Qt::ArrowCursor);
    box.exec();
    if (busy)
        QApplication::restoreOverrideCursor();
}

} // namespace

MessageSink setMessageSink(MessageSink next)
{
    MessageSink previous = std::move(sink());
    sink() = std::move(next);
    return previous;
}

void showMessage(MessageKind kind, const QString& text)
{
    if (sink())
        sink()(kind, text);
    else
        showBox(kind, text);
}

void ShowError(std::string_view cp1252Text, bool abort)
{
    showMessage(MessageKind::Error, displayText(cp1252Text));
    if (abort)
        throw Abort();
}

void ShowErrorUtf8(std::string_view utf8Text, bool abort)
{
    showMessage(MessageKind::Error, errorText(utf8Text));
    if (abort)
        throw Abort();
}

void ShowInformation(std::string_view cp1252Text)
{
    showMessage(MessageKind::Information, displayText(cp1252Text));
}

bool IsBlank(std::string_view text)
{
    return isBlank(text);
}

bool IsBlank(const QString& text)
{
    // Characters above 0x7F are never blank, in UTF-8 as in UTF-16.
    return isBlank(text.toStdString());
}

void reportException(std::exception_ptr error) noexcept
{
    try {
        try {
            std::rethrow_exception(error);
        } catch (const Abort&) {
            // Its message was shown when the action was aborted.
        } catch (const std::exception& e) {
            // A library's own words go to the log, not to the operator.
            if (const auto* failure = dynamic_cast<const Error*>(&e);
                failure && !failure->detail().empty())
                qWarning("%s", failure->detail().c_str());
            showMessage(MessageKind::Error, errorText(e.what()));
        } catch (...) {
            showMessage(MessageKind::Error, QStringLiteral("Erro inesperado."));
        }
    } catch (...) {
        // Showing the message failed too; there is no one left to tell but stderr.
        std::fputs("error: an error could not be shown\n", stderr);
    }
}

} // namespace dotz
