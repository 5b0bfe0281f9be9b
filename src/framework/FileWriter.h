// The one way Korvane writes a file: patch saves, renders, event logs, settings and recovery
// copies all go through TFileWriter, so every output is either complete or not there at all.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

// Writes one output, whole or streamed in pieces, and puts it in place at Commit.
//
// What the name points at decides how:
// - a regular file, or nothing yet: the data goes to a part file beside it in the same folder,
//   ".NAME.korvane-PID-N.part", which is flushed to the disk and renamed over the target at
//   Commit; until then, and after any failure, the previous file stays byte for byte as it
//   was. A symbolic link is followed to its final target, which is replaced; the link stays a
//   link.
// - a character or block device, a FIFO or a socket: written directly and never replaced.
// - "/dev/stdout", "/dev/stderr", "/dev/fd/N", "/proc/self/fd/N": the process's own descriptor,
//   written directly (what a shell redirection or pipe set up stays as it is).
// A writer made InPlace (a live recording, which must survive the writer's process being
// killed) writes a regular file itself instead of a part file: emptied at once, never renamed,
// and what reached it stays however the writer ends. It may be overwritten and synced while it
// is written, so that its owner can keep it readable at every moment.
// A part file never outlives its writer: Commit renames it, a failure or the destructor
// removes it, a signal that ends the process removes it first (RemovePartFilesOnSignals), and
// one left by a process that was killed outright (SIGKILL, a power cut) is removed by the next
// replacing write into its folder, once its process is gone.
// Every failure raises EFileError naming the file as given and the system's reason:
// "Cannot create file ..." when it cannot be opened, "Cannot write file ..." afterwards; the
// writer is then discarded. Writing to a pipe whose reader is gone is a "Broken pipe" error,
// never a signal, however much of a write got through. Not copyable; one thread at a time.
class TFileWriter {
public:
    enum class TMode { Replace, InPlace };
    // Opens the target (a FIFO: waits, as any writer does, until a reader has it open).
    explicit TFileWriter(const QString &fileName, TMode mode = TMode::Replace);
    // Discards what was written unless Commit succeeded.
    ~TFileWriter();
    TFileWriter(const TFileWriter &) = delete;
    TFileWriter &operator=(const TFileWriter &) = delete;

    void Write(const char *data, size_t size);
    void Write(const QByteArray &data) { Write(data.constData(), size_t(data.size())); }
    // Replaces bytes already written, from `offset` on. Only where CanOverwrite.
    void Overwrite(uint64_t offset, const char *data, size_t size);
    // Whether Overwrite works: a part file or a file written in place can be, another target
    // written directly cannot (a pipe has passed the bytes on).
    bool CanOverwrite() const { return !FDirect || FInPlace; }
    // Writes what is buffered and makes what was written durable (data, not necessarily the
    // file's times), without putting the file in place.
    void Sync();
    // Bytes written so far.
    uint64_t Size() const { return FSize; }

    // Writes what is buffered, makes it durable and puts the file in place. Once only.
    void Commit();
    // Drops what was written: a replacing writer removes its part file and leaves the target
    // as it was; a direct or in-place target keeps what already reached it. Never raises.
    void Discard() noexcept;

    const QString &FileName() const { return FFileName; }
    // Whether the target is written in place (a device, FIFO, socket or own descriptor, or a
    // file opened InPlace).
    bool IsDirect() const { return FDirect; }

private:
    [[noreturn]] void Fail(const char *what, int error);
    void Flush();
    void WriteAll(const char *data, size_t size);
    void ReleaseFolder() noexcept;

    QString FFileName;
    int FFd = -1;          // the part file or the direct target
    int FFolderFd = -1;    // the target's folder (replacing mode)
    QByteArray FTargetName; // the final target's name in that folder (replacing mode)
    QByteArray FPartName;   // the part file's name there, while it is written (replacing mode)
    int FPartEntry = -1;    // its entry in the table the signal handler cleans up, if any
    bool FDirect = false;
    bool FInPlace = false; // a regular file written directly (TMode::InPlace)
    bool FDone = false;
    uint64_t FSize = 0;
    std::vector<char> FBuffer; // what Write took and Flush has not yet written
};

// Writes `data` as the whole of fileName through a TFileWriter.
void WriteWholeFile(const QString &fileName, const QByteArray &data);

// Where a TFileWriter for fileName would put its output, spelled one way: symbolic links
// followed as the writer follows them, then the folder made absolute and canonical where it
// exists, so that "X", "./X", "d/../X" and a link to X give one name even while X does not
// exist. The process's own descriptors ("/dev/stdout" ...) are returned as given.
QString OutputPath(const QString &fileName);

// For SIGINT, SIGTERM, SIGHUP and SIGXFSZ, as far as each still has its default action:
// a handler that removes the part files being written (a fixed table, unlink only:
// async-signal-safe) and then lets the signal end the process as it would have. A SIGXFSZ the
// kernel sends this process for its own write past the file-size limit ends nothing: that
// write fails with "File too large" and is reported like any other failure. Signals that the
// program handles itself (a clean stop) are left to it; that stop discards the writers.
// Called by the first replacing writer; main calls it first thing, before installing
// handlers of its own. Idempotent, any thread.
void RemovePartFilesOnSignals();
