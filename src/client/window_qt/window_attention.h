// window_attention.h - how the Linux window asks for attention while it is not active: the count in
// its title, a sound, a desktop notification and the window marked as wanting attention.
#pragma once

#include "client/core/room_feed.h"

#include <QString>

class QWidget;

class attention {
public:
    explicit attention(QWidget *window) : window_(window) {}
    // A frame's new lines: counted in the title while the window is not active. A mention (the
    // bell on) sounds, and while the window is not active asks the desktop for a notification and
    // marks the window as wanting attention; at most once every few seconds. A transfer that ended
    // (the bell on) does the same while the window is not active.
    void attend(const room_frame &frame);
    // The window is active: the count goes.
    void seen();

private:
    void show_title();
    void notify(const QString &summary, const QString &said);

    QWidget *window_;
    int unread_ = 0;
    long long last_alert_ms_ = -1000000;
};
