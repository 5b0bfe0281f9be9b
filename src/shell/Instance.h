// One Korvane per user session: the first start listens on a local socket, a later start hands
// its file over to it and ends.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QLocalServer;
class QLocalSocket;

// The running instance's end of the channel. User-interface thread only; the callbacks run on it
// from the event loop. Owns its server and the connections of starts being served.
//
// A hand-over is one message: a 32-bit big-endian byte count, then the absolute file name in
// UTF-8 (no bytes for "no file"). The running instance answers with one byte once it has dealt
// with it, then closes the connection.
class TInstanceChannel : public QObject {
    Q_OBJECT
public:
    explicit TInstanceChannel(QObject *parent = nullptr);

    // The name of the channel for this user session: a socket in the session's runtime folder
    // when there is one, else a name of its own per user id in the temporary folder.
    static QString ChannelName();
    // Tries to hand `firstArgument` (may be empty; a relative name is taken from the current
    // folder) to a running instance and waits a bounded time for its answer. True when one took
    // it (the caller then exits with code 0), also when it is too busy to answer in time; false
    // when none runs or it went away without answering. Blocks; any thread.
    static bool HandOver(const QString &firstArgument, const QString &channelName = ChannelName());

    // Starts listening as the first instance. A socket left behind by an instance that ended
    // without closing it is removed; one that still answers is not. False (with ErrorString)
    // when listening fails, e.g. because another instance already listens.
    bool Listen(const QString &channelName = ChannelName());
    QString ErrorString() const { return FErrorString; }
    // Stops listening: a later start finds no running instance and becomes one itself.
    void Close();

    // While held (the window is not there yet, or boxes of its start are open), a hand-over is
    // answered at once and kept; releasing the hold delivers the kept ones in the order they
    // came, as if they came now. Not held at first.
    void SetHolding(bool hold);
    bool Holding() const { return FHolding; }
    int PendingCount() const { return int(FPending.size()); }

    // Bring the main window to the front. Called for every hand-over, before OnOpenFile.
    std::function<void()> OnActivate;
    // Open `file` as a new slot; called only when the handed-over name is an existing file.
    // An exception it raises is shown in the standard error box once the start is answered.
    std::function<void(const QString &file)> OnOpenFile;

private:
    void Accept();
    void Receive(QLocalSocket *client);
    void Serve(QLocalSocket *client, const QString &file);
    // Activates and opens `file`; the error text of what failed, or empty.
    QString Deliver(const QString &file);
    void DeliverPending();

    QLocalServer *FServer = nullptr;
    QString FErrorString;
    bool FHolding = false;
    bool FDelivering = false;
    QStringList FPending; // handed over while held or while earlier ones are being delivered
};
