// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
#include "receivedlog.h"

#include "logdisplay.h"
#include "logmemory.h"

#include <QCoreApplication>
#include <QLocale>
#include <QMimeData>
#include <QStringEncoder>
#include <QTextBlock>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <future>

using LogDisplay::Run;

namespace {

// Char format: the characters show a hidden text (the id of it in m_hidden).
constexpr int HiddenProperty = QTextFormat::UserProperty + 1;
// Char format: the characters are pictures of control characters.
constexpr int ControlsProperty = QTextFormat::UserProperty + 2;
// Block format: the line break before the block, where it was not a line
// feed.
constexpr int BreakProperty = QTextFormat::UserProperty + 3;
// Block format: the block is the marker of the lines dropped to keep the
// log within its budget.
constexpr int DroppedProperty = QTextFormat::UserProperty + 4;

// A hidden text at least this long (UTF-16 units) waits in the file rather
// than in memory.
constexpr qsizetype FileChars = 32 * 1024;
// A copied selection at least this long is encoded as the UTF-8 the
// clipboard hands out at once, on a worker thread, so that neither the copy
// nor a paste elsewhere stalls the window.
constexpr qsizetype BackgroundCopyChars = 1024 * 1024;
// Units read and encoded at a time while a large copy is made, so that its
// text is never in memory as UTF-16 and UTF-8 at once.
constexpr qsizetype CopyPieceChars = 64 * 1024;

const QString TextPlain = QStringLiteral("text/plain");
const QString TextPlainUtf8 = QStringLiteral("text/plain;charset=utf-8");

// Clipboard data whose text is put together only when someone asks for it:
// selecting with the mouse offers a selection at once, and a selection over
// a hidden text of 100 MiB must not be copied for nothing. A large one is
// encoded on a worker thread from the start, since the platform asks for it
// on the window's thread when another program pastes it; it is handed out
// as it is, and decoded once if this program pastes it as text.
class LazyTextMimeData : public QMimeData
{
public:
    LazyTextMimeData(std::function<QString()> text, std::shared_future<QByteArray> utf8)
        : m_make(std::move(text)), m_utf8(std::move(utf8))
    {}

    QStringList formats() const override { return {TextPlain}; }
    bool hasFormat(const QString &mimeType) const override
    {
        return mimeType == TextPlain || mimeType == TextPlainUtf8;
    }

protected:
    QVariant retrieveData(const QString &mimeType, QMetaType type) const override
    {
        if (!hasFormat(mimeType))
            return {};
        const bool bytes = type == QMetaType::fromType<QByteArray>();
        if (m_utf8.valid()) {
            if (bytes)
                return m_utf8.get();
            if (m_text.isNull())
                m_text = QString::fromUtf8(m_utf8.get());
            return m_text;
        }
        if (m_make) {
            m_text = m_make();
            m_make = nullptr;
        }
        return bytes ? QVariant(m_text.toUtf8()) : QVariant(m_text);
    }

private:
    mutable std::function<QString()> m_make;
    mutable QString m_text;
    std::shared_future<QByteArray> m_utf8;
};

} // namespace

ReceivedLog::ReceivedLog(QWidget *parent)
    : QPlainTextEdit(parent), m_memoryBudget(LogMemory::budgetBytes()),
      m_fileBudget(LogMemory::fileBudgetBytes(m_memoryBudget)),
      m_file(std::make_shared<KeptTextFile>())
{
    m_writer.setMaxThreadCount(1);
}

ReceivedLog::~ReceivedLog()
{
    // A write still going reports to this object.
    m_writer.waitForDone();
}

void ReceivedLog::setMemoryBudget(qint64 bytes)
{
    m_memoryBudget = bytes;
    m_fileBudget = LogMemory::fileBudgetBytes(bytes);
    keepWithinBudget();
}

qint64 ReceivedLog::memoryUsed() const
{
    return document()->characterCount() * LogMemory::BytesPerChar +
           document()->blockCount() * LogMemory::BytesPerLine + m_hiddenMemory;
}

void ReceivedLog::waitForKeptTexts()
{
    m_writer.waitForDone();
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

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
    keepWithinBudget();
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

    std::vector<qint64> toFile;
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
            const qint64 id = keepHidden(run, &toFile);
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
    if (!toFile.empty())
        writeToFile(toFile);
}

qint64 ReceivedLog::keepHidden(const Run &run, std::vector<qint64> *toFile)
{
    qint64 id = 0;
    if (m_freeIds.empty()) {
        id = ++m_lastHiddenId;
    } else {
        id = m_freeIds.back();
        m_freeIds.pop_back();
    }
    HiddenText hidden;
    hidden.marker = run.shown;
    hidden.length = run.length;
    hidden.serial = ++m_lastSerial;
    hidden.memoryBytes = LogMemory::BytesPerHidden;
    if (run.length >= FileChars && m_file->isOpen()) {
        // Shared with the received text until it is written.
        hidden.text = run.source;
        hidden.from = run.from;
        hidden.kept.reset(new KeptSpan{m_file, m_file->reserve(run.length)});
        toFile->push_back(id);
    } else {
        // A copy of its own, so that a small hidden part does not keep a
        // large text in memory.
        hidden.text = run.original().toString();
        hidden.memoryBytes += 2 * run.length;
    }
    m_hiddenMemory += hidden.memoryBytes;
    m_hidden.insert(id, std::move(hidden));
    return id;
}

void ReceivedLog::writeToFile(const std::vector<qint64> &ids)
{
    struct Job
    {
        qint64 id;
        quint64 serial;
        QString source;
        qsizetype from;
        qsizetype length;
        KeptSpanPtr kept;
    };
    std::vector<Job> jobs;
    qint64 bytes = 0;
    const void *lastSource = nullptr;
    for (const qint64 id : ids) {
        const HiddenText &hidden = m_hidden[id];
        jobs.push_back({id, hidden.serial, hidden.text, hidden.from, hidden.length, hidden.kept});
        if (hidden.text.constData() != lastSource)
            bytes += 2 * hidden.text.size();
        lastSource = hidden.text.constData();
    }
    // Texts waiting for the writer are in memory: past half the budget the
    // window waits for it rather than hold more.
    if (m_toFileBytes > 0 && m_toFileBytes + bytes > m_memoryBudget / 2)
        waitForKeptTexts();
    m_toFileBytes += bytes;
    m_writer.start([this, file = m_file, jobs = std::move(jobs), bytes]() mutable {
        QList<Written> results;
        for (Job &job : jobs) {
            results.append(
                {job.id, job.serial,
                 file->write(job.kept->span, QStringView(job.source).mid(job.from, job.length))});
            job.source = QString();
        }
        QMetaObject::invokeMethod(
            this,
            [this, results, bytes] {
                m_toFileBytes -= bytes;
                written(results);
            },
            Qt::QueuedConnection);
    });
}

void ReceivedLog::written(const QList<Written> &results)
{
    for (const Written &result : results) {
        const auto hidden = m_hidden.find(result.id);
        if (hidden == m_hidden.end() || hidden->serial != result.serial) {
            // Dropped while it was written.
            continue;
        }
        if (result.stored < 0) {
            // The file cannot take it: it stays in memory, where the budget
            // counts it.
            std::fprintf(stderr,
                         "CalvornTest: cannot write a received text to a temporary file; it "
                         "stays in memory\n");
            m_hiddenMemory += 2 * hidden->length;
            hidden->memoryBytes += 2 * hidden->length;
            continue;
        }
        hidden->text = QString();
        hidden->inFile = true;
        hidden->fileBytes = result.stored;
        m_fileBytes += result.stored;
    }
    keepWithinBudget();
}

void ReceivedLog::forget(qint64 id)
{
    const auto hidden = m_hidden.constFind(id);
    if (hidden == m_hidden.cend())
        return;
    m_hiddenMemory -= hidden->memoryBytes;
    m_fileBytes -= hidden->fileBytes;
    m_hidden.erase(hidden);
    m_freeIds.push_back(id);
}

void ReceivedLog::keepWithinBudget()
{
    qint64 memory = memoryUsed();
    qint64 file = m_fileBytes;
    if (memory <= m_memoryBudget && file <= m_fileBudget)
        return;
    // Down to three quarters, so that this happens once in a while, not at
    // every entry; at whole entries where one ends near enough.
    const qint64 memoryGoal = m_memoryBudget / 4 * 3;
    const qint64 fileGoal = m_fileBudget / 4 * 3;
    constexpr int LinesToEntryEnd = 64;
    const QString stars(63, u'*');
    QTextDocument *doc = document();
    QTextBlock block = doc->firstBlock();
    QTextBlock last;
    qint64 lines = 0;
    qint64 entries = 0;
    int pastGoal = 0;
    std::vector<qint64> ids;
    while (block.isValid() && block != doc->lastBlock()) {
        const bool marker = block.blockFormat().hasProperty(DroppedProperty);
        memory -= block.length() * LogMemory::BytesPerChar + LogMemory::BytesPerLine;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.hasProperty(HiddenProperty))
                continue;
            const qint64 id = format.property(HiddenProperty).toLongLong();
            const auto hidden = m_hidden.constFind(id);
            if (hidden == m_hidden.cend() || std::find(ids.begin(), ids.end(), id) != ids.end())
                continue;
            memory -= hidden->memoryBytes;
            file -= hidden->fileBytes;
            ids.push_back(id);
        }
        if (!marker) {
            ++lines;
            if (block.text() == stars)
                ++entries;
        }
        last = block;
        block = block.next();
        if (memory <= memoryGoal && file <= fileGoal &&
            (last.text() == stars || ++pastGoal > LinesToEntryEnd))
            break;
    }
    if (!last.isValid())
        return;

    const bool undo = isUndoRedoEnabled();
    setUndoRedoEnabled(false);
    QTextCursor cursor(doc);
    cursor.beginEditBlock();
    cursor.setPosition(last.position() + last.length(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    for (const qint64 id : ids)
        forget(id);
    m_droppedLines += lines;
    m_droppedEntries += entries;
    // The marker takes a line of its own before what is left.
    QTextBlockFormat plainBlock;
    cursor.insertBlock(plainBlock, QTextCharFormat());
    cursor.setPosition(0);
    QTextBlockFormat markerBlock;
    markerBlock.setProperty(DroppedProperty, true);
    cursor.setBlockFormat(markerBlock);
    QTextCharFormat dim;
    dim.setForeground(palette().color(QPalette::PlaceholderText));
    const QLocale c = QLocale::c();
    const qint64 mib = m_memoryBudget / (1024 * 1024);
    cursor.insertText(
        QStringLiteral(
            "[\u2026 %1 earlier lines (%2 entries) dropped to keep the log within %3 MiB "
            "of memory]")
            .arg(c.toString(m_droppedLines), c.toString(m_droppedEntries), c.toString(mib)),
        dim);
    cursor.endEditBlock();
    setUndoRedoEnabled(undo);
    std::fprintf(stderr,
                 "CalvornTest: dropped the oldest %lld lines (%lld entries) of the received-data "
                 "log to keep it within %lld MiB of memory and %lld MiB of file\n",
                 static_cast<long long>(lines), static_cast<long long>(entries),
                 static_cast<long long>(mib), static_cast<long long>(m_fileBudget / (1024 * 1024)));
}

QList<ReceivedLog::Slice> ReceivedLog::selectedSlices() const
{
    const QTextCursor selection = textCursor();
    const int start = selection.selectionStart();
    const int end = selection.selectionEnd();
    QList<Slice> slices;
    auto add = [&](const QString &text) {
        if (!text.isEmpty())
            slices.append({text, 0, text.size(), {}});
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
                    if (from < markerTo && to > markerFrom) {
                        if (hidden->inFile)
                            slices.append({{}, 0, hidden->length, hidden->kept});
                        else
                            slices.append({hidden->text, hidden->from, hidden->length, {}});
                    }
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

void ReceivedLog::readSlice(const Slice &slice, qsizetype from, qsizetype length, QChar *to,
                            const KeptTextFile &file)
{
    if (!slice.kept) {
        std::copy_n(slice.source.constData() + slice.from + from, length, to);
        return;
    }
    if (!file.read({slice.kept->span.offset + 2 * from, length}, to)) {
        std::fprintf(stderr, "CalvornTest: cannot read a received text back from its "
                             "temporary file; copied as U+FFFD\n");
        std::fill(to, to + length, QChar(0xFFFD));
    }
}

QString ReceivedLog::joined(const QList<Slice> &slices, const KeptTextFile &file)
{
    qsizetype size = 0;
    for (const Slice &slice : slices)
        size += slice.length;
    QString text(size, Qt::Uninitialized);
    QChar *to = text.data();
    for (const Slice &slice : slices) {
        readSlice(slice, 0, slice.length, to, file);
        to += slice.length;
    }
    return text;
}

QByteArray ReceivedLog::joinedUtf8(const QList<Slice> &slices, const KeptTextFile &file)
{
    qsizetype size = 0;
    for (const Slice &slice : slices)
        size += slice.length;
    QStringEncoder encoder(QStringEncoder::Utf8);
    QByteArray bytes;
    bytes.reserve(size); // enough for ASCII; more grows it
    QString piece(std::min(size, CopyPieceChars), Qt::Uninitialized);
    for (const Slice &slice : slices) {
        for (qsizetype done = 0; done < slice.length; done += CopyPieceChars) {
            const qsizetype n = std::min(CopyPieceChars, slice.length - done);
            readSlice(slice, done, n, piece.data(), file);
            bytes += encoder.encode(QStringView(piece).first(n));
        }
    }
    return bytes;
}

QString ReceivedLog::selectedText() const
{
    return joined(selectedSlices(), *m_file);
}

QMimeData *ReceivedLog::createMimeDataFromSelection() const
{
    QList<Slice> slices = selectedSlices();
    qsizetype size = 0;
    for (const Slice &slice : slices)
        size += slice.length;
    if (size >= BackgroundCopyChars) {
        auto promise = std::make_shared<std::promise<QByteArray>>();
        std::shared_future<QByteArray> utf8 = promise->get_future().share();
        QThreadPool::globalInstance()->start([promise, slices, file = m_file] {
            promise->set_value(joinedUtf8(slices, *file));
        });
        return new LazyTextMimeData({}, std::move(utf8));
    }
    return new LazyTextMimeData(
        [slices = std::move(slices), file = m_file] { return joined(slices, *file); }, {});
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
    keepWithinBudget();
}
