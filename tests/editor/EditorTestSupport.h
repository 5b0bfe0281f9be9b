// Helpers for editor tests: mouse events sent to a widget as the window system would, and a
// dialogs recorder.
#pragma once

#include "Modules.h"
#include "TestPrint.h"

#include <QApplication>
#include <QMouseEvent>
#include <QWidget>

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
