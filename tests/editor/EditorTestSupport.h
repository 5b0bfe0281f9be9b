// Helpers for editor tests: mouse events sent to a widget as the window system would, and a
// dialogs recorder.
#pragma once

#include "Modules.h"
#include "Slot.h"
#include "TestPrint.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>
#include <mutex>
#include <gtest/gtest.h>

inline void SendMouse(QWidget *w, QEvent::Type type, QPoint p, Qt::MouseButton button,
                      Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    Qt::MouseButtons held = button;
    if (type == QEvent::MouseButtonRelease)
        held = Qt::NoButton;
    else if (type == QEvent::MouseMove)
        held = button; // the button that is still held while moving
    QMouseEvent e(type, QPointF(p), w->mapToGlobal(QPointF(p)), type == QEvent::MouseMove ? Qt::NoButton : button,
                  held, modifiers);
    QApplication::sendEvent(w, &e);
}

// Press, move (when the pointer moves) and release of one button.
inline void DragMouse(QWidget *w, QPoint from, QPoint to, Qt::MouseButton button = Qt::LeftButton,
                      Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    SendMouse(w, QEvent::MouseButtonPress, from, button, modifiers);
    if (to != from)
        SendMouse(w, QEvent::MouseMove, to, button, modifiers);
    SendMouse(w, QEvent::MouseButtonRelease, to, button, modifiers);
}

struct TDialogRecorder : IDialogs {
    QStringList Messages, Errors;
    TDialogRecorder() { SetDialogs(this); }
    ~TDialogRecorder() override { SetDialogs(nullptr); }
    void ShowMessage(const QString &text) override { Messages << text; }
    void ShowError(const QString &text) override { Errors << text; }
};

// A slot shown at 1000 x 600, with the gesture state cleared before and after each test.
class ShownSlotTest : public ::testing::Test {
protected:
    ShownSlotTest()
    {
        DragState = TDragState{};
        Slot.resize(1000, 600);
        Slot.show();
        QCoreApplication::processEvents();
    }
    ~ShownSlotTest() override { DragState = TDragState{}; }

    // A module of class M at (left, top) of the slot's sheet, made under the patch lock.
    template <class M>
    M *Add(int left, int top)
    {
        std::lock_guard lock(Slot.Guard().Mutex);
        M *m = Create<M>(Slot.Sheet());
        m->SetLeft(left);
        m->SetTop(top);
        return m;
    }
    QWidget *Canvas() { return Slot.Canvas(); }

    TKorSlot Slot;
};
