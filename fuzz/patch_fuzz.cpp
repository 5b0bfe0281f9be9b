// Fuzzes what a patch file or the clipboard can feed Korvane: the text reader, the binary
// reader, the cable-line parser and the save-load round trip. Any crash, sanitizer report or
// round trip that changes the text is a finding; Korvane's own exceptions are expected.
#include "Modules.h"
#include "TestModules.h"

#include <QGuiApplication>
#include <cstdint>
#include <cstdlib>

namespace {

struct TSilentDialogs : IDialogs {
    void ShowMessage(const QString &) override {}
    void ShowError(const QString &) override {}
};

// Reads text into a new sheet and makes its cables; null when Korvane refuses the text.
TOwned<TKorDrawSheet> ReadPatch(const QByteArray &text)
{
    try {
        auto sheet = CreateOwned<TKorDrawSheet>();
        ReadComponent(ObjectTextToBinary(text), sheet.get());
        sheet->ResolveConnections();
        return sheet;
    } catch (const Exception &) {
        return nullptr;
    }
}

void RoundTrip(const QByteArray &text)
{
    TOwned<TKorDrawSheet> first = ReadPatch(text);
    if (!first)
        return;
    try {
        first->Execute();
    } catch (const EIntOverflow &) {
    }
    first->PrepareForSave();
    // Snapping truncates toward zero, so a module left of or above the rack's origin moves
    // one cell toward it at every load; only patches on the rack must come back unchanged.
    for (int i = 0; i < first->ModuleCount(); ++i)
        if (first->Modules(i)->Left() < 0 || first->Modules(i)->Top() < 0)
            return;
    // A module saved without a title (titles are written only when set) comes back with its
    // default one, so the first reload may change the text; from then on it must be a fixed
    // point: what Korvane writes it reads, and writes again to the letter.
    TOwned<TKorDrawSheet> second = ReadPatch(ObjectBinaryToText(WriteComponent(*first)));
    if (!second)
        std::abort();
    const QByteArray settled = ObjectBinaryToText(WriteComponent(*second));
    TOwned<TKorDrawSheet> third = ReadPatch(settled);
    if (!third || ObjectBinaryToText(WriteComponent(*third)) != settled)
        std::abort();
}

void CableLines(const QByteArray &data)
{
    static TKorDrawSheet *sheet = [] {
        TKorDrawSheet *s = Create<TKorDrawSheet>(nullptr);
        Create<TKorTestSource>(s);
        Create<TKorTestThrough>(s);
        Create<TKorTestSettings>(s);
        return s;
    }();
    for (const QByteArray &line : data.split('\n')) {
        try {
            sheet->ParseConnectionLine(QString::fromLatin1(line));
        } catch (const Exception &) {
        }
    }
}

void Binary(const QByteArray &data)
{
    try {
        auto sheet = CreateOwned<TKorDrawSheet>();
        ReadComponent(data, sheet.get());
    } catch (const Exception &) {
    }
    try {
        ObjectBinaryToText(data);
    } catch (const Exception &) {
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv);
    static TSilentDialogs dialogs;
    SetDialogs(&dialogs);
    RegisterTestModules();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    RoundTrip(input);
    CableLines(input);
    Binary(input);
    return 0;
}
