#include "receivedlog.h"

#include "logdisplay.h"

#include <QMimeData>
#include <QTextBlock>

#include <algorithm>
#include <functional>

using LogDisplay::Run;

namespace {

// Char format: the characters show a hidden text (the id of it in m_hidden).
constexpr int HiddenProperty = QTextFormat::UserProperty + 1;
// Char format: the characters are pictures of control characters.
constexpr int ControlsProperty = QTextFormat::UserProperty + 2;
// Block format: the line break before the block, where it was not a line
// feed.
constexpr int BreakProperty = QTextFormat::UserProperty + 3;

const QString TextPlain = QStringLiteral("text/plain");
const QString TextPlainUtf8 = QStringLiteral("text/plain;charset=utf-8");

// Clipboard data whose text is put together only when someone asks for it:
// selecting with the mouse offers a selection at once, and a selection over
// a hidden text of 100 MiB must not be copied for nothing.
class LazyTextMimeData : public QMimeData
{
public:
    explicit LazyTextMimeData(std::function<QString()> text) : m_make(std::move(text)) {}

    QStringList formats() const override { return {TextPlain}; }
    bool hasFormat(const QString &mimeType) const override
    {
        return mimeType == TextPlain || mimeType == TextPlainUtf8;
    }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType) const override
    {
        if (!hasFormat(mimeType))
            return {};
        if (m_make) {
            m_text = m_make();
            m_make = nullptr;
        }
        return m_text;
    }

private:
    mutable std::function<QString()> m_make;
    mutable QString m_text;
};

} // namespace

ReceivedLog::ReceivedLog(QWidget *parent) : QPlainTextEdit(parent)
{}

void ReceivedLog::appendReceived(const QStringList &pieces)
{
    // Inserting at the end costs time in proportion to what is shown of the
    // entry, however long the log has grown. Undo is off meanwhile, so that
    // an undo in the log never takes received data back out of it.
    setUndoRedoEnabled(false);
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    insertRuns(end, LogDisplay::runsOf(pieces));
    setUndoRedoEnabled(true);
}

void ReceivedLog::insertRuns(QTextCursor &cursor, const QList<Run> &runs)
{
    // Every run gets its format explicitly: none may take on the format of
    // the marker before it.
    const QTextCharFormat plain;
    QTextCharFormat dim;
    dim.setForeground(palette().color(QPalette::PlaceholderText));
    QTextCharFormat controls = dim;
    controls.setProperty(ControlsProperty, true);

    cursor.beginEditBlock();
    cursor.removeSelectedText();
    for (const Run &run : runs) {
        switch (run.kind) {
        case Run::Text:
            cursor.insertText(run.shown, plain);
            break;
        case Run::Controls:
            cursor.insertText(run.shown, controls);
            break;
        case Run::Hidden: {
            const qint64 id = ++m_lastHiddenId;
            m_hidden.insert(id, {run.source, run.from, run.length, run.shown});
            QTextCharFormat hidden = dim;
            hidden.setProperty(HiddenProperty, id);
            cursor.insertText(run.shown, hidden);
            break;
        }
        case Run::Break: {
            QTextBlockFormat block;
            if (run.original() != u"\n")
                block.setProperty(BreakProperty, run.original().toString());
            cursor.insertBlock(block, plain);
            break;
        }
        }
    }
    cursor.endEditBlock();
}

QList<ReceivedLog::Slice> ReceivedLog::selectedSlices() const
{
    const QTextCursor selection = textCursor();
    const int start = selection.selectionStart();
    const int end = selection.selectionEnd();
    QList<Slice> slices;
    auto add = [&](const QString &text) {
        if (!text.isEmpty())
            slices.append({text, 0, text.size()});
    };
    for (QTextBlock block = document()->findBlock(start);
         block.isValid() && block.position() <= end; block = block.next()) {
        if (const int separator = block.position() - 1; separator >= start && separator < end) {
            const QVariant lineBreak = block.blockFormat().property(BreakProperty);
            add(lineBreak.isValid() ? lineBreak.toString() : QStringLiteral("\n"));
        }
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const int at = fragment.position();
            const int from = std::max(at, start);
            const int to = std::min(at + fragment.length(), end);
            if (from >= to)
                continue;
            const QString text = fragment.text();
            const QTextCharFormat format = fragment.charFormat();
            if (format.hasProperty(HiddenProperty)) {
                // The marker stands for its text wherever the selection
                // touches it; characters typed next to it are themselves.
                const auto hidden =
                    m_hidden.constFind(format.property(HiddenProperty).toLongLong());
                const qsizetype found =
                    hidden == m_hidden.cend() ? -1 : text.indexOf(hidden->marker);
                if (found >= 0) {
                    const int markerFrom = at + int(found);
                    const int markerTo = markerFrom + int(hidden->marker.size());
                    if (from < markerFrom)
                        add(text.mid(from - at, std::min(to, markerFrom) - from));
                    if (from < markerTo && to > markerFrom)
                        slices.append({hidden->source, hidden->from, hidden->length});
                    if (to > markerTo) {
                        const int after = std::max(from, markerTo);
                        add(text.mid(after - at, to - after));
                    }
                    continue;
                }
            } else if (format.boolProperty(ControlsProperty)) {
                QString original = text.mid(from - at, to - from);
                for (QChar &c : original)
                    c = LogDisplay::fromPicture(c);
                add(original);
                continue;
            }
            add(text.mid(from - at, to - from));
        }
    }
    return slices;
}

QString ReceivedLog::joined(const QList<Slice> &slices)
{
    qsizetype size = 0;
    for (const Slice &slice : slices)
        size += slice.length;
    QString text;
    text.reserve(size);
    for (const Slice &slice : slices)
        text.append(QStringView(slice.source).mid(slice.from, slice.length));
    return text;
}

QString ReceivedLog::selectedText() const
{
    return joined(selectedSlices());
}

QMimeData *ReceivedLog::createMimeDataFromSelection() const
{
    return new LazyTextMimeData([slices = selectedSlices()] { return joined(slices); });
}

void ReceivedLog::insertFromMimeData(const QMimeData *source)
{
    if (!source || !source->hasText()) {
        QPlainTextEdit::insertFromMimeData(source);
        return;
    }
    // A pasted text is shown like a received one, so that pasting what was
    // copied from the log neither stalls the window nor loses anything.
    QTextCursor cursor = textCursor();
    insertRuns(cursor, LogDisplay::runsOf({QString(), source->text()}));
    setTextCursor(cursor);
    ensureCursorVisible();
}
