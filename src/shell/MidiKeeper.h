// Keeps the configured MIDI ports connected while their programs and devices come and go: a
// port that appears is opened, one that goes is closed and noted beside the overflow lamp, and
// one that returns is opened again, the output with all notes off first.
#pragma once

#include "MidiPortNews.h"

#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <memory>

class QWidget;
class TFormMain;

// User-interface thread only; never waits for the MIDI system's news, which arrives queued.
// Opens and closes through the main window, under its rules (the patch lock around the
// output). Korvane's own port needs no keeping: it is there as long as Korvane is. Owns its
// status line (a child of the panel given).
class TMidiPortKeeper : public QObject {
    Q_OBJECT
public:
    TMidiPortKeeper(TFormMain &form, QWidget *statusPanel);

    // Listens to these services from now on (after the MIDI system was switched).
    void Watch(std::shared_ptr<TMidiServices> services);
    // Compares the configured ports with what is there and opens or closes accordingly.
    void Check();
    // For good, as the window shuts down: no more news, and Check does nothing.
    void Stop();

    // "MIDI in: NAME (absent)", "MIDI out: ...", both, or empty while nothing is missing. The
    // status line shows it, shortened to the room there, and its tooltip whole.
    QString StatusText() const;
    QLabel *StatusLine() const { return FStatus; }
    bool InputAbsent() const { return FInputAbsent; }
    bool OutputAbsent() const { return FOutputAbsent; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The status text on the line, shortened to the room the panel has now.
    void ShowStatus();
    // Each returns whether its port is missing.
    bool KeepInput();
    bool KeepOutput();
    bool InputListed(const QString &name) const;
    bool OutputListed(const QString &name) const;

    TFormMain &FForm;
    TMidiPortNews FNews;
    // Null once the panel deleted it: while the window is torn down the panel's events still
    // reach the filter after its children are gone.
    QPointer<QLabel> FStatus;
    QTimer FRetry; // a port listed but not opened yet (its program still starting) is tried again
    int FRetries = 0; // since the last news; a port that keeps failing is left to the next news
    bool FInputAbsent = false, FOutputAbsent = false;
    bool FStopped = false;
};
