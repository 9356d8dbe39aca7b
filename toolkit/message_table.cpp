#include "message_table.h"

#include "base/cp1252.h"

#include <QStringDecoder>

namespace dotz {
namespace {

QString lineBreaks(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

} // namespace

QString displayText(std::string_view cp1252)
{
    return lineBreaks(QString::fromStdString(cp1252::toUtf8(cp1252)));
}

QString errorText(std::string_view what)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(QByteArrayView(what.data(), static_cast<qsizetype>(what.size())));
    if (utf8.hasError())
        return displayText(what);
    return lineBreaks(std::move(text));
}

} // namespace dotz
