// window_attention.cpp - the title's count, the sound, the notification and the urgency hint.
#include "window_attention.h"

#include "client/core/connection.h"
#include "window_text.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QWidget>

namespace {

const char TITLE[] = "Chat";
const long long ALERT_GAP_MS = 5000;  // a sound, a notification and an urgency hint at most this often

}  // namespace

void attention::show_title()
{
    QString title = QString::fromLatin1(TITLE);
    window_->setWindowTitle(unread_ > 0 ? QStringLiteral("(%1) %2").arg(unread_).arg(title) : title);
}

void attention::seen()
{
    unread_ = 0;
    show_title();
}

void attention::attend(const room_frame &frame)
{
    bool behind = !window_->isActiveWindow();
    if (frame.heard > 0 && behind) {
        unread_ += static_cast<int>(frame.heard);
        show_title();
    }
    // A mention calls even while the window is active (a sound); a transfer's end only while it is
    // behind, and only with the bell on, as a mention is marked only with it on.
    bool ended = frame.outcome >= 0 && behind && frame.status.bell;
    if ((frame.mention < 0 && !ended) || now_ms() - last_alert_ms_ < ALERT_GAP_MS)
        return;
    last_alert_ms_ = now_ms();
    QApplication::beep();
    if (behind) {
        QApplication::alert(window_);
        if (frame.mention >= 0) {
            const room_line &said = frame.lines[static_cast<std::size_t>(frame.mention)];
            notify(QStringLiteral("You were mentioned in the chat"), feed_text(said.name + said.text));
        } else {
            const room_line &said = frame.lines[static_cast<std::size_t>(frame.outcome)];
            notify(QStringLiteral("A file transfer ended"), feed_text(said.text));
        }
    }
}

// A desktop notification through org.freedesktop.Notifications, not waited for: a desktop without
// a notification daemon (or a session bus) has none, and that is all.
void attention::notify(const QString &summary, const QString &said)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    // The body may be read as markup by the daemon: the peer's text goes escaped.
    call << QStringLiteral("Chat") << 0u << QStringLiteral("chat-relay") << summary
         << said.toHtmlEscaped() << QStringList()
         << QVariantMap{{QStringLiteral("desktop-entry"), QStringLiteral("org.chatrelay.ChatWindow")},
                        {QStringLiteral("category"), QStringLiteral("im.received")}}
         << -1;
    bus.send(call);
}
