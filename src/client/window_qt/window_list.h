// window_list.h - the Linux window's conversation: the room's lines as the feed hands them over, in
// a read-only plain-text view, the names coloured for the palette in use, the history's lines
// dimmed, web addresses as links.
#pragma once

#include "client/core/room_feed.h"

#include <QPlainTextEdit>
#include <QString>

#include <cstddef>
#include <deque>
#include <functional>
#include <vector>

class conversation : public QPlainTextEdit {
public:
    explicit conversation(QWidget *parent);

    // Appends a frame's lines at once, keeping the view at the bottom if it was there; the oldest
    // go past LINES_KEPT lines or LIST_CHARS characters.
    void append(const std::vector<room_line> &lines);
    // Finds text from the selection up (older), selecting it: false if it is not above.
    bool find_up(const QString &what);
    // A click on a link (no text being selected): the address, checked again, to be shown and opened.
    std::function<void(const QString &address)> on_link;

    static const std::size_t LINES_KEPT = 3000;
    static const int LIST_CHARS = 4 << 20;

protected:
    void changeEvent(QEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;

private:
    bool dark() const;
    void add_to_list(QTextCursor &c, const room_line &l);
    void recolour();

    std::deque<room_line> shown_;  // the lines in the conversation, to draw again in other colours
    std::deque<int> chars_;        // the characters each takes there
    int total_chars_ = 0;
};
