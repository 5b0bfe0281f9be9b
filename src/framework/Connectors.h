// Connectors (module inputs and outputs) and cables: the per-tick transport that sets every
// input to the sum of the outputs wired to it, and the gesture that draws cables.
#pragma once

#include "Details.h"

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

enum TSignalKind : uint8_t { Symmetric = 0, Asymmetric = 1, Logic = 2, Neuron = 3 };

// A panel detail carrying a signed 32-bit value and a signal kind (which only picks its
// colour). Owned by its module; always named, since patch files find it by name.
// Value is written on the tick thread (outputs by their module, inputs by the propagation);
// everything else is user-interface thread.
class TKorConnector : public TKorCustomDetail {
    Q_OBJECT
public:
    enum class TDirection : uint8_t { None, Input, Output };

    Q_INVOKABLE TKorConnector() = default;
    void Init() override;

    int32_t Value() const { return FValue; }
    // Stores V and calls ValueChanged when it differs from Value.
    void SetValue(int32_t V)
    {
        if (V == FValue)
            return;
        FValue = V;
        ValueChanged();
    }
    uint8_t SignalKind() const { return FSignalKind; }
    void SetKind(uint8_t K);
    TColor KindColor() const { return FKindColor; }
    int ConnectionCount() const { return FConnectionCount; }
    bool IsConnected() const { return FConnectionCount > 0; }
    TDirection Direction() const { return FDirection; }
    QPoint Centre() const { return {FWidth / 2, FHeight / 2}; }

    // The connector under the end of the current cable gesture: this one, another of its
    // module, or one of another module under that point; null for none.
    TKorConnector *ConnectorUnderDragEnd();

    // Asks the module to make or break a cable to Other.
    virtual void Connect(TKorConnector *Other);
    // Whether a cable gesture from Other may end here: any connector for the base, an output
    // for an input and an input for an output.
    virtual bool CanConnectTo(const TKorConnector *Other) const;
    virtual void ValueChanged() {}

    void Assign(const TKorCustomDetail &Source) override;
    void DragMove(QPoint Offset) override;
    void EndDrag(QPoint Offset) override;
    void Paint(QPainter &Canvas) override;
    void RefreshColors() override;

protected:
    explicit TKorConnector(TDirection d) : FDirection(d) {}
    // The inner dot: kind colour when wired, black otherwise.
    void PaintDot(QPainter &Canvas);

private:
    friend class TKorConnections;
    void Attach();
    void Detach();

    int32_t FValue = 0;
    int FConnectionCount = 0;
    bool FPlanMark = false; // scratch of TKorConnections::Plan
    TColor FKindColor = 0xFF0000;
    uint8_t FSignalKind = 0; // Init sets 1 through SetKind so the colour follows the settings
    const TDirection FDirection = TDirection::None;
};

class TKorInput : public TKorConnector {
    Q_OBJECT
public:
    Q_INVOKABLE TKorInput() : TKorConnector(TDirection::Input) {}
    bool CanConnectTo(const TKorConnector *Other) const override;
    void Paint(QPainter &Canvas) override;
};

class TKorOutput : public TKorConnector {
    Q_OBJECT
public:
    Q_INVOKABLE TKorOutput() : TKorConnector(TDirection::Output) {}
    bool CanConnectTo(const TKorConnector *Other) const override;
    void Paint(QPainter &Canvas) override;
};

// One cable. Never owns its connectors. Destroying it sets its input ends to 0.
struct TKorConnection {
    TKorConnection(TKorConnector *from, TKorConnector *to) : From(from), To(to) {}
    ~TKorConnection();
    TKorConnection(const TKorConnection &) = delete;
    TKorConnection &operator=(const TKorConnection &) = delete;

    TKorConnector *From; // where the gesture started, or the first connector of a file line
    TKorConnector *To;
    bool Marked = false; // scratch mark for moving and copying
};

// A sheet's cables in creation order; owns them. Changed on the user-interface thread under
// the patch lock; Propagate runs on the tick thread and allocates nothing.
class TKorConnections {
public:
    explicit TKorConnections(TKorDrawSheet *sheet = nullptr) : Sheet(sheet) {}
    virtual ~TKorConnections();
    TKorConnections(const TKorConnections &) = delete;
    TKorConnections &operator=(const TKorConnections &) = delete;

    int Count() const { return int(FItems.size()); }
    TKorConnection *Items(int i) const { return FItems[size_t(i)].get(); }

    // Index of the cable From = A, To = B (that order only), searching from the end; -1 if none.
    int IndexOfPair(const TKorConnector *A, const TKorConnector *B) const;
    // Makes the cable A -> B (true) or breaks an existing one between A and B in either
    // direction (false).
    bool Toggle(TKorConnector *A, TKorConnector *B);
    // Where the last Toggle, Insert or Remove made or broke its cable, so an edit can be put
    // back in place.
    int LastToggledIndex() const { return FLastToggled; }
    // Makes the cable A -> B at list position `index` (0..Count), as an undone removal does.
    void Insert(int index, TKorConnector *A, TKorConnector *B);
    // Breaks the cable at `index`, reported to the sheet's ConnectionLost.
    void Remove(int index);
    // While one lives, changes leave the transport plan to be rebuilt once at its end, so that
    // many changes under one hold of the patch lock cost one plan, not one each.
    class TBatch {
    public:
        explicit TBatch(TKorConnections &c) : FCables(c) { ++FCables.FBatches; }
        ~TBatch();
        TBatch(const TBatch &) = delete;
        TBatch &operator=(const TBatch &) = delete;

    private:
        TKorConnections &FCables;
    };
    // Breaks every cable touching C, last first, reporting each to the sheet's ConnectionLost.
    void RemoveConnectionsOf(TKorConnector *C);
    // Breaks every cable touching one of `modules` in one pass over the list, reporting them in
    // the order freeing the modules one by one, in that order, would: module by module, each
    // module's connectors in their order, each connector's cables last first.
    void RemoveConnectionsOfModules(const std::vector<class TKorCustomModule *> &modules);
    // Breaks every cable without reporting (the sheet going away).
    void Clear();
    // Sets every wired input to the sum of what its cables carry. Raises EIntOverflow when a
    // sum overflows; the inputs keep the partial sums. Tick thread.
    virtual void Propagate();

    TKorDrawSheet *Sheet; // not owned; receives ConnectionLost reports

private:
    void RemoveAt(int i);
    void CountPair(const TKorConnector *A, const TKorConnector *B, int delta);
    // Rebuilds the transport plan from the cables; after every change, on the changing thread.
    void Plan();
    std::vector<std::unique_ptr<TKorConnection>> FItems;
    // How many cables run From -> To for each pair, so that a toggle knows in constant time
    // whether it makes or breaks, however long the list is.
    struct TPairHash {
        size_t operator()(const std::pair<const TKorConnector *, const TKorConnector *> &p) const noexcept
        {
            const auto a = reinterpret_cast<uintptr_t>(p.first), b = reinterpret_cast<uintptr_t>(p.second);
            return std::hash<uintptr_t>()(a * 0x9E3779B97F4A7C15ull ^ (b >> 3));
        }
    };
    std::unordered_map<std::pair<const TKorConnector *, const TKorConnector *>, int, TPairHash> FPairs;
    int FLastToggled = -1;
    int FBatches = 0;
    bool FPlanPending = false;
    // The cables as the tick carries them, resolved once per change so that the tick touches
    // only the connectors: the inputs to clear, then each source added into its target, in
    // cable order.
    struct TTransfer {
        TKorConnector *Source, *Target;
    };
    std::vector<TKorConnector *> FTargets;
    std::vector<TTransfer> FTransfers;
};
