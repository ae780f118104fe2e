// window_list.cpp - the conversation: the feed's lines turned into the document's text and formats.
#include "window_list.h"

#include "client/core/links.h"
#include "window_text.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPalette>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace {

// The 12 colours of the names (red, green, yellow, blue, magenta, cyan and their bright kinds), on
// a light background and on a dark one: each readable on its own.
const QRgb ON_LIGHT[12] = {
    qRgb(197, 15, 31), qRgb(19, 136, 8),  qRgb(150, 110, 0), qRgb(0, 55, 218),   qRgb(136, 23, 152), qRgb(0, 125, 145),
    qRgb(215, 50, 70), qRgb(30, 140, 20), qRgb(170, 125, 0), qRgb(40, 100, 240), qRgb(170, 0, 150),  qRgb(0, 140, 170),
};
const QRgb ON_DARK[12] = {
    qRgb(255, 110, 110), qRgb(110, 210, 110), qRgb(230, 200, 60),  qRgb(120, 160, 255),
    qRgb(225, 125, 235), qRgb(80, 205, 225),  qRgb(255, 150, 160), qRgb(150, 235, 130),
    qRgb(250, 225, 110), qRgb(160, 190, 255), qRgb(245, 150, 225), qRgb(130, 225, 245),
};

}  // namespace

conversation::conversation(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTabChangesFocus(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setMaximumBlockCount(static_cast<int>(LINES_KEPT));
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("Conversation"));
    setAccessibleDescription(QStringLiteral("The lines said in the room, newest last"));
}

// The conversation's background, as the desktop's palette (or a style sheet) gives it.
bool conversation::dark() const
{
    return palette().color(QPalette::Base).lightness() < 128;
}

// One line: its time and the client's words dimmed, the name in its colour, our own line bold, the
// lines of the history dimmed whole; the web addresses in what was said (not in the client's notes)
// links. insertText takes the text as it is: nothing a peer sends is read as markup.
void conversation::add_to_list(QTextCursor &c, const room_line &l)
{
    QTextCharFormat dim;
    dim.setForeground(palette().color(QPalette::PlaceholderText));
    QTextCharFormat plain;
    if (l.kind == room_line::OWN)
        plain.setFontWeight(QFont::Bold);
    bool dimmed = l.kind == room_line::NOTE || l.kind == room_line::KEPT || l.kind == room_line::RULE;
    if (!document()->isEmpty())
        c.insertBlock();
    int chars = 1;
    if (!l.time.empty()) {
        QString time = feed_text(l.time) + QLatin1Char(' ');
        c.insertText(time, dim);
        chars += static_cast<int>(time.size());
    }
    if (!l.name.empty()) {
        QTextCharFormat name = dimmed ? dim : plain;
        if (!dimmed)
            name.setForeground(QColor((dark() ? ON_DARK : ON_LIGHT)[(l.colour % 12 + 12) % 12]));
        QString part = feed_text(l.name);
        c.insertText(part, name);
        chars += static_cast<int>(part.size());
    }
    const QTextCharFormat &rest = dimmed ? dim : plain;
    std::size_t at = 0;
    if (l.kind != room_line::NOTE && l.kind != room_line::RULE)
        for (const auto &a : web_addresses(l.text)) {
            QString before = feed_text(l.text.substr(at, a.first - at));
            QString address = feed_text(l.text.substr(a.first, a.second));
            c.insertText(before, rest);
            QTextCharFormat link = rest;
            link.setAnchor(true);
            link.setAnchorHref(address);
            link.setForeground(palette().color(QPalette::Link));
            link.setFontUnderline(true);
            c.insertText(address, link);
            chars += static_cast<int>(before.size() + address.size());
            at = a.first + a.second;
        }
    QString after = feed_text(l.text.substr(at));
    c.insertText(after, rest);
    chars += static_cast<int>(after.size());
    chars_.push_back(chars);
    total_chars_ += chars;
}

void conversation::append(const std::vector<room_line> &lines)
{
    QScrollBar *bar = verticalScrollBar();
    bool at_bottom = bar->value() >= bar->maximum() - 2;
    QTextCursor c(document());
    c.beginEditBlock();
    c.movePosition(QTextCursor::End);
    for (const room_line &l : lines) {
        add_to_list(c, l);
        shown_.push_back(l);
    }
    // The document's own block limit drops the oldest lines past LINES_KEPT.
    while (shown_.size() > LINES_KEPT) {
        shown_.pop_front();
        total_chars_ -= chars_.front();
        chars_.pop_front();
    }
    int cut = 0;
    while (chars_.size() > 1 && total_chars_ > LIST_CHARS) {
        cut += chars_.front();
        total_chars_ -= chars_.front();
        chars_.pop_front();
        shown_.pop_front();
    }
    if (cut > 0) {
        QTextCursor top(document());
        top.setPosition(0);
        top.setPosition(std::min(cut, document()->characterCount() - 1), QTextCursor::KeepAnchor);
        top.removeSelectedText();
    }
    c.endEditBlock();
    if (at_bottom)
        bar->setValue(bar->maximum());
}

// The desktop's palette changed (light to dark, or back): the lines kept are drawn again in the
// colours readable on it.
void conversation::recolour()
{
    clear();
    chars_.clear();
    total_chars_ = 0;
    QTextCursor c(document());
    c.beginEditBlock();
    for (const room_line &l : shown_)
        add_to_list(c, l);
    c.endEditBlock();
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

bool conversation::find_up(const QString &what)
{
    return find(what, QTextDocument::FindBackward);
}

void conversation::changeEvent(QEvent *e)
{
    if (e->type() == QEvent::PaletteChange)
        recolour();
    QPlainTextEdit::changeEvent(e);
}

void conversation::mouseMoveEvent(QMouseEvent *e)
{
    QPlainTextEdit::mouseMoveEvent(e);
    bool over_link = !anchorAt(e->pos()).isEmpty();
    viewport()->setCursor(over_link ? Qt::PointingHandCursor : Qt::IBeamCursor);
}

// A click on a link opens it; a click that ends a selection opens nothing: text with links in it
// copies as any.
void conversation::mouseReleaseEvent(QMouseEvent *e)
{
    QPlainTextEdit::mouseReleaseEvent(e);
    if (e->button() != Qt::LeftButton || textCursor().hasSelection() || !on_link)
        return;
    QString address = anchorAt(e->pos());
    QByteArray utf8 = address.toUtf8();
    if (!address.isEmpty() && is_web_address(std::string(utf8.constData(), static_cast<std::size_t>(utf8.size()))))
        on_link(address);
}
