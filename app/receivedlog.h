// The received-data box: an editable plain text box that takes texts of
// any size and shape without stalling the window. It shows what a reader can
// take in (see LogDisplay) and keeps every text whole: copying a selection
// gives back exactly the characters it stands for, a line feed between the
// log's own lines, line breaks inside received texts as they came, and
// hidden parts included.
#pragma once

#include <QHash>
#include <QPlainTextEdit>
#include <QStringList>

namespace LogDisplay {
struct Run;
}

class ReceivedLog : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit ReceivedLog(QWidget *parent = nullptr);

    // Appends the concatenation of pieces (see LogDisplay::runsOf: those at
    // odd positions were received) at the end of the log, after whatever is
    // there (text the user typed included). Undo never takes it out again.
    void appendReceived(const QStringList &pieces);

    // What copying the current selection gives.
    QString selectedText() const;

protected:
    QMimeData *createMimeDataFromSelection() const override;
    void insertFromMimeData(const QMimeData *source) override;

private:
    struct HiddenText
    {
        QString source;
        qsizetype from = 0;
        qsizetype length = 0;
        QString marker;
    };
    // A piece of the copied text: a range of a shared string.
    struct Slice
    {
        QString source;
        qsizetype from = 0;
        qsizetype length = 0;
    };

    void insertRuns(QTextCursor &cursor, const QList<LogDisplay::Run> &runs);
    QList<Slice> selectedSlices() const;
    static QString joined(const QList<Slice> &slices);

    QHash<qint64, HiddenText> m_hidden;
    qint64 m_lastHiddenId = 0;
};
