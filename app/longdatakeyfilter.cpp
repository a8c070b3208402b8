#include "longdatakeyfilter.h"

#include "longdata.h"

#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>

namespace {

// Whether the key types characters rather than editing the field. With
// Control or Meta held a key is a shortcut such as Ctrl+V, whatever text the
// platform reports for it. Editing keys report no text or only control
// characters: Backspace "\b", Return "\r", and on X11 Delete and the
// keypad's Delete "\x7f".
bool typesCharacters(const QKeyEvent &key)
{
    if (key.modifiers() & (Qt::ControlModifier | Qt::MetaModifier))
        return false;
    const QString text = key.text();
    return std::any_of(text.cbegin(), text.cend(),
                       [](QChar c) { return c.category() != QChar::Other_Control; });
}

} // namespace

LongDataKeyFilter::LongDataKeyFilter(QLineEdit *edit) : QObject(edit), m_edit(edit)
{
    edit->installEventFilter(this);
}

bool LongDataKeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_edit)
        return false;

    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (!typesCharacters(*key))
            return false;
        const QString typed = key->text();
        const QString admitted = admittedLongDataKeys(typed);
        if (admitted == typed)
            return false;
        // A key that types several characters keeps those that are admitted.
        if (!admitted.isEmpty())
            m_edit->insert(admitted);
        return true;
    }

    // Characters composed by an input method are typed characters too.
    if (event->type() == QEvent::InputMethod) {
        auto *im = static_cast<QInputMethodEvent *>(event);
        const QString admitted = admittedLongDataKeys(im->commitString());
        if (admitted != im->commitString())
            im->setCommitString(admitted, im->replacementStart(), im->replacementLength());
    }
    return false;
}
