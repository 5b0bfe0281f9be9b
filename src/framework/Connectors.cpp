#include "Connectors.h"

#include "Checked.h"
#include "CustomModule.h"
#include "DrawSheet.h"

#include <algorithm>
#include <climits>
#include <tuple>

void TKorConnector::Init()
{
    TKorCustomDetail::Init();
    FWidth = 15;
    FHeight = 15;
    FPenColor = 0;
    FKindColor = 0xFF0000;
    SetKind(Asymmetric);
}

void TKorConnector::SetKind(uint8_t K)
{
    if (K == FSignalKind)
        return;
    FSignalKind = K;
    const TColor c = SignalKindColor(K);
    if (c != FKindColor) {
        FKindColor = c;
        Invalidate();
    }
}

void TKorConnector::Attach()
{
    if (++FConnectionCount == 1)
        Invalidate();
}

void TKorConnector::Detach()
{
    if (FConnectionCount > 0 && --FConnectionCount == 0)
        Invalidate();
}

TKorConnector *TKorConnector::ConnectorUnderDragEnd()
{
    const QPoint p = AddPoints(DragState.DragGrab, DragState.DragOffset);
    if (HitTest(p))
        return this;
    if (auto *module = qobject_cast<TKorCustomModule *>(Owner()))
        return module->ConnectorAt(this, AddPoints(p, {FLeft, FTop}));
    return nullptr;
}

void TKorConnector::Connect(TKorConnector *Other)
{
    if (Other == this)
        return;
    if (auto *module = qobject_cast<TKorCustomModule *>(Owner()))
        module->RequestConnection(this, Other);
}

bool TKorConnector::CanConnectTo(const TKorConnector *Other) const
{
    return Other != nullptr;
}

bool TKorInput::CanConnectTo(const TKorConnector *Other) const
{
    return Other && Other->Direction() == TDirection::Output;
}

bool TKorOutput::CanConnectTo(const TKorConnector *Other) const
{
    return Other && Other->Direction() == TDirection::Input;
}

void TKorConnector::Assign(const TKorCustomDetail &Source)
{
    TKorCustomDetail::Assign(Source);
    if (auto *c = qobject_cast<const TKorConnector *>(&Source))
        SetKind(c->SignalKind());
}

void TKorConnector::DragMove(QPoint Offset)
{
    TKorDrawSheet *sheet = Sheet();
    if (!sheet)
        return;
    TKorConnector *target = ConnectorUnderDragEnd();
    const TColor color = target && target->CanConnectTo(this) ? 0x008000 : 0xFFFFFF;
    const QPoint from = LocalToSheet(Centre());
    sheet->ToggleOverlay(TOverlayShape::Line(from, AddPoints(from, Offset), color));
}

void TKorConnector::EndDrag(QPoint)
{
    TKorConnector *target = ConnectorUnderDragEnd();
    if (target && target->CanConnectTo(this))
        Connect(target);
}

void TKorConnector::Paint(QPainter &Canvas)
{
    UsePen(Canvas, FPenColor);
    UseBrush(Canvas, FKindColor);
    DrawRectangle(Canvas, ClientRect());
}

void TKorConnector::PaintDot(QPainter &Canvas)
{
    UseBrush(Canvas, FConnectionCount > 0 ? FKindColor : 0);
    DrawEllipse(Canvas, {4, 4, FWidth - 4, FHeight - 4});
}

void TKorInput::Paint(QPainter &Canvas)
{
    UsePen(Canvas, PenColor());
    UseBrush(Canvas, KindColor());
    DrawEllipse(Canvas, ClientRect());
    PaintDot(Canvas);
}

void TKorOutput::Paint(QPainter &Canvas)
{
    UsePen(Canvas, PenColor());
    UseBrush(Canvas, KindColor());
    DrawRectangle(Canvas, ClientRect());
    DrawEllipse(Canvas, {1, 1, Width() - 1, Height() - 1});
    PaintDot(Canvas);
}

void TKorConnector::RefreshColors()
{
    FKindColor = SignalKindColor(FSignalKind);
    Invalidate();
}

TKorConnection::~TKorConnection()
{
    if (From->Direction() == TKorConnector::TDirection::Input)
        From->SetValue(0);
    if (To->Direction() == TKorConnector::TDirection::Input)
        To->SetValue(0);
}

TKorConnections::~TKorConnections()
{
    Clear();
}

void TKorConnections::CountPair(const TKorConnector *A, const TKorConnector *B, int delta)
{
    const auto it = FPairs.try_emplace({A, B}, 0).first;
    if ((it->second += delta) <= 0)
        FPairs.erase(it);
}

int TKorConnections::IndexOfPair(const TKorConnector *A, const TKorConnector *B) const
{
    if (!FPairs.contains({A, B}))
        return -1;
    for (int i = Count() - 1; i >= 0; --i)
        if (FItems[size_t(i)]->From == A && FItems[size_t(i)]->To == B)
            return i;
    return -1;
}

bool TKorConnections::Toggle(TKorConnector *A, TKorConnector *B)
{
    int i = IndexOfPair(A, B);
    if (i < 0)
        i = IndexOfPair(B, A);
    if (i < 0) {
        Insert(Count(), A, B);
        return true;
    }
    FLastToggled = i;
    A->Detach();
    B->Detach();
    RemoveAt(i);
    Plan();
    return false;
}

void TKorConnections::Insert(int index, TKorConnector *A, TKorConnector *B)
{
    index = std::clamp(index, 0, Count());
    FItems.insert(FItems.begin() + index, std::make_unique<TKorConnection>(A, B));
    CountPair(A, B, 1);
    FLastToggled = index;
    A->Attach();
    B->Attach();
    Plan();
}

void TKorConnections::RemoveAt(int i)
{
    // Take the cable out of the list before it dies, so nobody sees a half-removed entry.
    std::unique_ptr<TKorConnection> cable = std::move(FItems[size_t(i)]);
    FItems.erase(FItems.begin() + i);
    CountPair(cable->From, cable->To, -1);
}

void TKorConnections::Remove(int index)
{
    TKorConnection *cable = Items(index);
    TKorConnector *from = cable->From, *to = cable->To;
    from->Detach();
    to->Detach();
    RemoveAt(index);
    FLastToggled = index;
    Plan();
    if (Sheet)
        Sheet->ConnectionLost(from, to);
}

TKorConnections::TBatch::~TBatch()
{
    if (--FCables.FBatches == 0 && FCables.FPlanPending)
        FCables.Plan();
}

void TKorConnections::RemoveConnectionsOf(TKorConnector *C)
{
    if (!C->IsConnected())
        return;
    for (int i = Count() - 1; i >= 0; --i) {
        TKorConnection *cable = Items(i);
        if (cable->From != C && cable->To != C)
            continue;
        TKorConnector *from = cable->From, *to = cable->To;
        from->Detach();
        to->Detach();
        RemoveAt(i);
        if (Sheet)
            Sheet->ConnectionLost(from, to);
    }
    Plan();
}

void TKorConnections::RemoveConnectionsOfModules(const std::vector<TKorCustomModule *> &modules)
{
    std::unordered_map<const QObject *, int> rank; // place in the freeing order
    rank.reserve(modules.size());
    for (size_t i = 0; i < modules.size(); ++i)
        rank.emplace(modules[i], int(i));
    const auto rankOf = [&](const TKorConnector *c) {
        const auto it = rank.find(c->Owner());
        return it == rank.end() ? INT_MAX : it->second;
    };
    // Which end's module is freed first, and so reports the cable: order by that module, then
    // by the connector's place in it, then last cable first.
    struct TDoomed {
        int Rank, Connector, Index;
        TKorConnector *From, *To;
    };
    std::vector<TDoomed> doomed;
    for (int i = 0; i < Count(); ++i) {
        TKorConnector *from = FItems[size_t(i)]->From, *to = FItems[size_t(i)]->To;
        const int rf = rankOf(from), rt = rankOf(to);
        if (rf == INT_MAX && rt == INT_MAX)
            continue;
        int connector;
        if (rf != rt)
            connector = (rf < rt ? from : to)->ComponentIndex();
        else
            connector = std::min(from->ComponentIndex(), to->ComponentIndex());
        doomed.push_back({std::min(rf, rt), connector, i, from, to});
    }
    if (doomed.empty())
        return;
    // Out of the list in one stable pass; the cables die (zeroing their inputs) on the way.
    size_t kept = 0, next = 0;
    for (size_t i = 0; i < FItems.size(); ++i) {
        if (next < doomed.size() && doomed[next].Index == int(i)) {
            ++next;
            TKorConnection *cable = FItems[i].get();
            cable->From->Detach();
            cable->To->Detach();
            CountPair(cable->From, cable->To, -1);
            FItems[i].reset();
            continue;
        }
        FItems[kept++] = std::move(FItems[i]);
    }
    FItems.resize(kept);
    Plan();
    std::sort(doomed.begin(), doomed.end(), [](const TDoomed &a, const TDoomed &b) {
        return std::tie(a.Rank, a.Connector, b.Index) < std::tie(b.Rank, b.Connector, a.Index);
    });
    for (const TDoomed &d : doomed) {
        FLastToggled = d.Index; // its place before this edit
        if (Sheet)
            Sheet->ConnectionLost(d.From, d.To);
    }
}

void TKorConnections::Clear()
{
    while (!FItems.empty()) {
        TKorConnection *cable = FItems.back().get();
        cable->From->Detach();
        cable->To->Detach();
        RemoveAt(Count() - 1);
    }
    Plan();
}

void TKorConnections::Plan()
{
    FPlanPending = FBatches > 0;
    if (FPlanPending)
        return;
    using D = TKorConnector::TDirection;
    FTargets.clear();
    FTransfers.clear();
    for (const auto &cable : FItems) {
        TKorConnector *from = cable->From, *to = cable->To;
        // The input a cable feeds is cleared: "From" when both ends are inputs.
        TKorConnector *target = from->FDirection == D::Input ? from : to->FDirection == D::Input ? to : nullptr;
        if (target && !target->FPlanMark) {
            target->FPlanMark = true;
            FTargets.push_back(target);
        }
        if (from->FDirection == D::Output && to->FDirection == D::Input)
            FTransfers.push_back({from, to});
        else if (to->FDirection == D::Output && from->FDirection == D::Input)
            FTransfers.push_back({to, from});
        else if (from->FDirection == D::Input && to->FDirection == D::Input)
            FTransfers.push_back({to, from});
    }
    for (TKorConnector *target : FTargets)
        target->FPlanMark = false;
}

void TKorConnections::Propagate()
{
    for (TKorConnector *target : FTargets)
        target->FValue = 0;
    for (const TTransfer &t : FTransfers)
        t.Target->FValue = Checked::Add(t.Target->FValue, t.Source->FValue);
}
