// A stand-in for the slot: records everything a sheet reports to its host.
#pragma once

#include "Modules.h"
#include "TestPrint.h"

#include <QPointer>
#include <QThread>
#include <utility>
#include <vector>

struct TTestHost : ISheetHost {
    QSize Client{1000, 600};
    QPoint ScreenOrigin{100, 200}; // where the sheet's (0, 0) lies on the screen

    std::vector<std::pair<TRect, bool>> Invalidated;
    std::vector<QThread *> InvalidatedOnThread;
    int UpdatesNow = 0;
    std::vector<QSize> Extents;
    std::vector<std::pair<QPointer<TComponent>, bool>> Clicks;
    std::vector<TKorCustomDetail *> ScrolledIntoView;
    std::vector<std::pair<TKorCustomModule *, uint32_t>> MidiShort;
    std::vector<std::pair<TKorConnector *, TKorConnector *>> Made, Lost;
    int ModuleCountChanges = 0;
    std::vector<bool> ActiveChanges;

    QSize ClientSize() const override { return Client; }
    void ExtentChanged(QSize size) override { Extents.push_back(size); }
    void InvalidateRect(const TRect &r, bool erase) override
    {
        Invalidated.emplace_back(r, erase);
        InvalidatedOnThread.push_back(QThread::currentThread());
    }
    void UpdateNow() override { ++UpdatesNow; }
    QPoint ClientToScreen(QPoint p) const override { return p + ScreenOrigin; }
    QPoint ScreenToClient(QPoint p) const override { return p - ScreenOrigin; }
    void PostClick(TComponent *clicked, bool doubleClick) override { Clicks.emplace_back(clicked, doubleClick); }
    void ScrollInView(TKorCustomDetail *detail) override { ScrolledIntoView.push_back(detail); }
    void MidiOutShort(TKorCustomModule *sender, uint32_t msg) override { MidiShort.emplace_back(sender, msg); }
    void MidiOutLong(TKorCustomModule *, const TLongMidi &) override {}
    void ConnectionMade(TKorConnector *from, TKorConnector *to) override { Made.emplace_back(from, to); }
    void ConnectionLost(TKorConnector *from, TKorConnector *to) override { Lost.emplace_back(from, to); }
    void ModuleCountChanged() override { ++ModuleCountChanges; }
    void ActiveChanged(bool active) override { ActiveChanges.push_back(active); }
};

// A sheet linked to a recording host, freed at the end of the test.
struct TSheetFixture {
    TTestHost Host;
    TOwned<TKorDrawSheet> Sheet = CreateOwned<TKorDrawSheet>();
    TSheetFixture()
    {
        DragState = TDragState{};
        Sheet->SetHost(&Host);
    }
    ~TSheetFixture()
    {
        Sheet.reset();
        DragState = TDragState{};
    }
    template <class M>
    M *Add(int left = 0, int top = 0)
    {
        M *m = Create<M>(Sheet.get());
        m->SetLeft(left);
        m->SetTop(top);
        return m;
    }
};
