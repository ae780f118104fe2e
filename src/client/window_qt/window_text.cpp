// window_text.cpp - the Linux window's text conversions, by the core's own (platform/terminal.h).
#include "window_text.h"

#include "client/core/text.h"
#include "platform/terminal.h"

QString shown_text(const std::string &gb18030)
{
    return feed_text(utf8_from_gb18030(safe_to_show(gb18030, true)));
}

QString feed_text(const std::string &utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string gb18030_text(const QString &typed)
{
    QByteArray utf8 = typed.toUtf8();
    return gb18030_from_utf8(std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QString ascii(const std::string &text)
{
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
