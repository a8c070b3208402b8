// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 The CalvornTest developers
// The received-data box: an editable plain text box that takes texts of
// any size and shape without stalling the window. It shows what a reader can
// take in (see LogDisplay) and keeps every text whole: copying a selection
// gives back exactly the characters it stands for, a line feed between the
// log's own lines, line breaks inside received texts as they came, and
// hidden parts included. Its memory has a fixed budget (see LogMemory):
// large hidden parts wait in a file (KeptTextFile), and past the budget the
// oldest lines give way to a marker that says how many were dropped.
#pragma once

#include "kepttextfile.h"

#include <QHash>
#include <QPlainTextEdit>
#include <QStringList>
#include <QThreadPool>

#include <memory>
#include <vector>

namespace LogDisplay {
struct Run;
}

class ReceivedLog : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit ReceivedLog(QWidget *parent = nullptr);
    ~ReceivedLog() override;

    // Appends the concatenation of pieces (see LogDisplay::runsOf: those at
    // odd positions were received) at the end of the log, after whatever is
    // there (text the user typed included). Undo never takes it out again.
    void appendReceived(const QStringList &pieces);

    // What copying the current selection gives.
    QString selectedText() const;

    // The memory the log may take (LogMemory::budgetBytes() unless set), and
    // what it takes by its own estimate, hidden texts on their way to the
    // file left out.
    qint64 memoryBudget() const { return m_memoryBudget; }
    void setMemoryBudget(qint64 bytes);
    qint64 memoryUsed() const;
    // Waits until every hidden text on its way to the file is there.
    void waitForKeptTexts();

protected:
    QMimeData *createMimeDataFromSelection() const override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    // Room in the file, given back once neither the log nor a copy on the
    // clipboard needs it.
    struct KeptSpan
    {
        std::shared_ptr<KeptTextFile> file;
        KeptTextFile::Span span;
        ~KeptSpan() { file->release(span); }
    };
    using KeptSpanPtr = std::shared_ptr<const KeptSpan>;
    // A hidden part of a text: in memory (`text`, from `from` on) or, once
    // written, in the file (`kept`).
    struct HiddenText
    {
        QString text;
        qsizetype from = 0;
        qsizetype length = 0;
        QString marker;
        KeptSpanPtr kept;
        bool inFile = false;
        quint64 serial = 0;     // tells a reused id from the one a write was for
        qint64 memoryBytes = 0; // counted against the budget
        qint64 fileBytes = 0;   // what it holds of the file
    };
    // A piece of the copied text: a range of a shared string, or a text in
    // the file.
    struct Slice
    {
        QString source;
        qsizetype from = 0;
        qsizetype length = 0;
        KeptSpanPtr kept; // in the file when set
    };
    struct Written
    {
        qint64 id;
        quint64 serial;
        qint64 stored; // -1: not written
    };

    void insertRuns(QTextCursor &cursor, const QList<LogDisplay::Run> &runs);
    qint64 keepHidden(const LogDisplay::Run &run, std::vector<qint64> *toFile);
    void writeToFile(const std::vector<qint64> &ids);
    void written(const QList<Written> &results);
    void forget(qint64 id);
    void keepWithinBudget();
    QList<Slice> selectedSlices() const;
    static void readSlice(const Slice &slice, qsizetype from, qsizetype length, QChar *to,
                          const KeptTextFile &file);
    static QString joined(const QList<Slice> &slices, const KeptTextFile &file);
    static QByteArray joinedUtf8(const QList<Slice> &slices, const KeptTextFile &file);

    QHash<qint64, HiddenText> m_hidden;
    // Ids of hidden texts that were dropped, to be used again, so that the
    // document's character formats (one for each id) stay few.
    std::vector<qint64> m_freeIds;
    qint64 m_lastHiddenId = 0;
    quint64 m_lastSerial = 0;
    qint64 m_memoryBudget;
    qint64 m_fileBudget;
    qint64 m_hiddenMemory = 0; // of the hidden texts, counted against the budget
    qint64 m_fileBytes = 0;    // held of the file
    qint64 m_toFileBytes = 0;  // of texts waiting to be written
    qint64 m_droppedLines = 0;
    qint64 m_droppedEntries = 0;
    std::shared_ptr<KeptTextFile> m_file;
    // Writes one text at a time, in order.
    QThreadPool m_writer;
};
