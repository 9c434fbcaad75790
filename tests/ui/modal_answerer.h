// Answers the window's modal boxes and drives its dialogs and popups from inside their own event
// loops, so no test ever leaves a box waiting for a person. Every helper polls on a short timer
// of the test's user-interface thread; a helper destroyed before its box appeared does nothing.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <vector>

// A message box as the window showed it.
struct SeenBox {
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
};

// Presses `answer` in every QMessageBox that becomes the active modal widget while it lives, and
// records each box. A box that lacks the button is closed with its escape button and recorded
// with the missing button noted in `missingAnswer`.
class BoxAnswerer : public QObject {
public:
    explicit BoxAnswerer(QMessageBox::StandardButton answer) : m_answer(answer) {
        connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start(5);
        qApp->installEventFilter(this);
    }
    ~BoxAnswerer() override { qApp->removeEventFilter(this); }
    void SetAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }

    std::vector<SeenBox> seen;
    bool missingAnswer = false;

protected:
    // A box is answered as soon as its modal loop runs, so no other timer of the program gets
    // the chance to fire while it waits.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched) != nullptr) {
            QTimer::singleShot(0, this, [this] { Poll(); });
        }
        return false;
    }

private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible() || box == m_lastAnswered) {
            return;
        }
        m_lastAnswered = box;
        seen.push_back(SeenBox{box->windowTitle(), box->text(), box->standardButtons()});
        if (QAbstractButton* button = box->button(m_answer)) {
            button->click();
        } else {
            missingAnswer = true;
            box->reject();
        }
    }

    QMessageBox::StandardButton m_answer;
    QTimer m_timer;
    QPointer<QMessageBox> m_lastAnswered;
};

// Runs `step` once, inside the modal loop of the first widget of type T that becomes the active
// modal widget (or, with popup true, the active popup). `ran` tells whether it ran.
template <typename T> class WhenShown : public QObject {
public:
    explicit WhenShown(std::function<void(T*)> step, bool popup = false)
        : m_step(std::move(step)), m_popup(popup) {
        connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
        m_timer.start(5);
    }
    bool ran = false;

private:
    void Poll() {
        QWidget* top =
            m_popup ? QApplication::activePopupWidget() : QApplication::activeModalWidget();
        auto* widget = qobject_cast<T*>(top);
        if (widget == nullptr || !widget->isVisible()) {
            return;
        }
        m_timer.stop();
        ran = true;
        m_step(widget);
    }

    std::function<void(T*)> m_step;
    bool m_popup;
    QTimer m_timer;
};
