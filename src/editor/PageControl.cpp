#include "PageControl.h"

#include "AppPaths.h"
#include "FileWriter.h"

#include "MidiMsg.h"

#include <QDir>
#include <QFile>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QTabBar>
#include <QUndoGroup>
#include <QUndoStack>

TKorModulePageControl::TKorModulePageControl(QWidget *parent) : QTabWidget(parent), FHistories(new QUndoGroup(this))
{
    tabBar()->setAttribute(Qt::WA_Hover);
    connect(this, &QTabWidget::currentChanged, this, [this] {
        if (FDestroying)
            return;
        FollowActiveSlot();
        if (!FSettingPage)
            PageChanged();
    });
}

void TKorModulePageControl::FollowActiveSlot()
{
    TKorSlot *slot = ActiveSlot();
    FHistories->setActiveStack(slot ? slot->History() : nullptr);
}

void TKorModulePageControl::ShowSlotName(TKorSlot *slot)
{
    const int index = indexOf(slot);
    if (index >= 0)
        setTabText(index, slot->SlotName() + (slot->Modified() ? QStringLiteral("*") : QString()));
}

TKorModulePageControl::~TKorModulePageControl()
{
    FDestroying = true;
    std::vector<TKorSlot *> pages;
    {
        std::lock_guard lock(FGuard.Mutex);
        pages.swap(FSlots);
    }
    for (TKorSlot *slot : pages)
        delete slot;
}

bool TKorModulePageControl::Execute()
{
    if (FGuard.UpdateCount() > 0)
        return true;
    const std::lock_guard lock(FGuard.TickLock());
    if (FGuard.UpdateCount() > 0 || FRunStopped) // an edit began, or the run stopped, while this tick waited
        return true;
    const int64_t tick = FTickNumber.fetch_add(1, std::memory_order_relaxed);
    bool clean = true;
    for (TKorSlot *slot : FSlots) {
        try {
            slot->Execute();
        } catch (const std::bad_alloc &) {
            throw;
        } catch (const std::exception &e) {
            slot->TickFailed(tick, e.what());
            clean = false;
        } catch (...) {
            slot->TickFailed(tick, "Unknown error");
            clean = false;
        }
    }
    return clean;
}

void TKorModulePageControl::StopRun()
{
    std::lock_guard lock(FGuard.Mutex);
    FRunStopped = true;
    for (TKorSlot *slot : FSlots)
        slot->Sheet()->StopRun();
}

void TKorModulePageControl::StartRun()
{
    std::lock_guard lock(FGuard.Mutex);
    FRunStopped = false;
}

void TKorModulePageControl::ClearTickErrors()
{
    for (TKorSlot *slot : FSlots) {
        slot->ClearTickErrors();
        ShowTickErrors(slot);
    }
}

void TKorModulePageControl::ShowTickErrors(TKorSlot *slot)
{
    const int index = indexOf(slot);
    if (index < 0)
        return;
    const TKorSlot::TTickErrors errors = slot->TickErrors();
    const bool failed = errors.TicksFailed > 0;
    if (failed && FErrorIcon.isNull()) {
        QPixmap dot(12, 12);
        dot.fill(Qt::transparent);
        QPainter p(&dot);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::red);
        p.drawEllipse(QRectF(1, 1, 10, 10));
        p.end();
        FErrorIcon = QIcon(dot);
    }
    setTabIcon(index, failed ? FErrorIcon : QIcon());
    tabBar()->setTabTextColor(index, failed ? QColor(Qt::red) : QColor());
    setTabToolTip(index, errors.FirstError);
}

TKorSlot *TKorModulePageControl::ActiveSlot() const
{
    return qobject_cast<TKorSlot *>(currentWidget());
}

void TKorModulePageControl::MakeActive(int index)
{
    FSettingPage = true;
    setCurrentIndex(index);
    FSettingPage = false;
}

TKorSlot *TKorModulePageControl::NewSlot(const QString &aName)
{
    const QString name = aName.isEmpty() ? QStringLiteral("Slot%1").arg(++FSlotCounter) : aName;
    auto *slot = new TKorSlot(&FGuard);
    slot->SetSlotName(name);
    FHistories->addStack(slot->History());
    slot->OnModifiedChange = [this](QObject *sender) {
        auto *s = qobject_cast<TKorSlot *>(sender);
        if (FDestroying || !s)
            return;
        ShowSlotName(s);
        if (OnModifiedChange)
            OnModifiedChange(s);
    };
    slot->OnEdited = [this](QObject *sender) {
        if (FDestroying)
            return;
        if (auto *s = qobject_cast<TKorSlot *>(sender); s && s->HasTickErrors()) {
            s->ClearTickErrors(); // the edit may have mended it; the next tick tells
            ShowTickErrors(s);
        }
        if (OnSlotEdited)
            OnSlotEdited(sender);
    };
    slot->OnTickFailed = [this](QObject *sender) {
        if (!FDestroying)
            ShowTickErrors(qobject_cast<TKorSlot *>(sender));
    };
    slot->OnModuleCountChange = [this](QObject *sender, int32_t) {
        NotifyModuleCountChange(qobject_cast<TKorSlot *>(sender));
    };
    slot->OnConnectionMade = [this](QObject *sender, TKorConnector *from, TKorConnector *to) {
        if (!FDestroying && OnConnectionMade)
            OnConnectionMade(sender, from, to);
    };
    slot->OnConnectionLost = [this](QObject *sender, TKorConnector *from, TKorConnector *to) {
        if (!FDestroying && OnConnectionLost)
            OnConnectionLost(sender, from, to);
    };
    slot->OnMidiOutShort = [this](QObject *sender, uint32_t msg) {
        if (!FDestroying && OnMidiOutShort)
            OnMidiOutShort(sender, msg);
    };
    slot->OnMidiOutLong = [this](QObject *sender, const TLongMidi &msg) {
        if (!FDestroying && OnMidiOutLong)
            OnMidiOutLong(sender, msg);
    };
    slot->OnClick = [this](QObject *sender) {
        if (OnDetailClick)
            OnDetailClick(sender);
    };
    slot->OnDblClick = [this](QObject *sender) {
        if (OnDetailDblClick)
            OnDetailDblClick(sender);
    };
    slot->OnContextMenu = [this](TKorSlot *sender, QPoint at, QPoint global) {
        if (OnSlotContextMenu)
            OnSlotContextMenu(sender, at, global);
    };
    {
        std::lock_guard lock(FGuard.Mutex);
        FSlots.push_back(slot);
    }
    FSettingPage = true;
    addTab(slot, name);
    setCurrentWidget(slot);
    FSettingPage = false;
    FollowActiveSlot();
    NotifyCountChange();
    return slot;
}

void TKorModulePageControl::CloseActiveSlot()
{
    {
        TStructuralEdit edit(FGuard);
        TKorSlot *slot = ActiveSlot();
        if (slot) {
            std::erase(FSlots, slot);
            FSettingPage = true;
            removeTab(indexOf(slot));
            delete slot;
            if (count() > 0)
                setCurrentIndex(0);
            FSettingPage = false;
        }
    }
    FollowActiveSlot();
    NotifyCountChange();
}

void TKorModulePageControl::CloseAllSlots()
{
    while (ActiveSlot())
        CloseActiveSlot();
}

void TKorModulePageControl::LoadSlot(const QString &aFileName, TOldFiles oldFiles)
{
    const TUpdateScope loading(FGuard);
    NewSlot(SlotNameFromFileName(aFileName));
    TKorSlot *slot = ActiveSlot();
    if (!slot)
        return;
    if (oldFiles == TOldFiles::ConvertCopy) {
        LoadTextConverting(*slot, ReadPatchText(aFileName), aFileName);
    } else {
        try {
            slot->LoadFromFile(aFileName);
        } catch (const EClassNotFound &) {
            ConvertOldClassNames(aFileName);
            slot->LoadFromFile(aFileName);
        }
    }
    NotifyModuleCountChange(ActiveSlot());
}

void TKorModulePageControl::LoadSlotFromText(const QString &aFileName, const QByteArray &text)
{
    const TUpdateScope loading(FGuard);
    NewSlot(SlotNameFromFileName(aFileName));
    TKorSlot *slot = ActiveSlot();
    if (!slot)
        return;
    LoadTextConverting(*slot, text, aFileName);
    NotifyModuleCountChange(ActiveSlot());
}

void TKorModulePageControl::LoadTextConverting(TKorSlot &slot, const QByteArray &text, const QString &aFileName)
{
    try {
        slot.LoadFromText(text, aFileName);
    } catch (const EClassNotFound &) {
        slot.LoadFromText(WithCurrentClassNames(text), aFileName);
    }
}

void TKorModulePageControl::SaveActiveSlot()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->Save();
}

void TKorModulePageControl::SaveAllSlots()
{
    for (TKorSlot *slot : FSlots)
        slot->Save();
}

void TKorModulePageControl::SaveSlotAs(TKorSlot *slot, const QString &aFileName)
{
    if (!slot)
        return;
    slot->SaveToFile(aFileName);
    slot->SetSlotName(SlotNameFromFileName(aFileName));
    ShowSlotName(slot);
}

TKorSlot *TKorModulePageControl::RestoreSlot(const QString &recoveredFile, const QString &originalFile,
                                             const QString &name)
{
    try {
        LoadSlot(recoveredFile, TOldFiles::ConvertCopy);
    } catch (...) {
        CloseActiveSlot(); // the page LoadSlot made, named after the copy: of no use to anybody
        throw;
    }
    TKorSlot *slot = ActiveSlot();
    slot->SetSlotFileName(originalFile);
    slot->SetSlotName(name.isEmpty() ? SlotNameFromFileName(originalFile) : name);
    slot->SetModified();
    ShowSlotName(slot);
    return slot;
}

TKorCustomModule *TKorModulePageControl::AddModule(const TComponentClass &aModuleClass)
{
    TKorSlot *slot = ActiveSlot();
    if (!slot)
        return nullptr;
    std::lock_guard lock(FGuard.Mutex);
    TKorCustomModule *m = slot->AddModule(aModuleClass);
    if (m) {
        m->SetTop(0);
        m->SetLeft(0);
    }
    return m;
}

void TKorModulePageControl::DeleteAllModules()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->DeleteAllModules();
}

void TKorModulePageControl::DeleteSelectedModules()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->DeleteSelectedModules();
}

void TKorModulePageControl::CutSelection()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->CutSelection();
}

void TKorModulePageControl::CopySelection()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->CopySelection();
}

void TKorModulePageControl::PasteClipboard()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->PasteClipboard();
}

void TKorModulePageControl::SelectAll()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->SelectAll();
}

void TKorModulePageControl::InvertSelection()
{
    if (TKorSlot *slot = ActiveSlot())
        slot->InvertSelection();
}

void TKorModulePageControl::RefreshColors()
{
    for (TKorSlot *slot : FSlots)
        slot->RefreshColors();
}

void TKorModulePageControl::RemoteChanged(TKorSlot *slot)
{
    if (FRemoteChangesAreEdits && slot && !slot->Modified())
        slot->SetModified();
}

void TKorModulePageControl::BeginLearn(TKorSlot *slot, TKorCustomModule *module, const QByteArray &property)
{
    TControlRef ref;
    if (!slot || !module || !FindControl(*module, property, ref))
        return;
    const bool again = FLearnControl == ref.Control;
    EndLearn();
    if (!again) {
        FLearnSlot = slot;
        FLearnControl = ref.Control;
        slot->SetLearnControl(ref.Control);
    }
    if (OnLearnChange)
        OnLearnChange(this);
}

bool TKorModulePageControl::CancelLearn()
{
    if (!FLearnSlot && !FLearnControl)
        return false;
    EndLearn();
    if (OnLearnChange)
        OnLearnChange(this);
    return true;
}

void TKorModulePageControl::EndLearn()
{
    if (FLearnSlot)
        FLearnSlot->SetLearnControl(nullptr);
    FLearnSlot = nullptr;
    FLearnControl = nullptr;
}

QString TKorModulePageControl::LearnStatus() const
{
    if (!Learning())
        return {};
    auto *module = qobject_cast<TKorCustomModule *>(FLearnControl->Owner());
    return QStringLiteral("Move a controller to bind %1: %2 (Escape cancels)")
        .arg(module ? module->Title() : QString(), ControlCaption(FLearnControl->Property()));
}

void TKorModulePageControl::AddMidiLearnItems(QMenu &menu, TKorSlot *slot, TKorCustomModule *module,
                                              TKorCustomDetail *control)
{
    QPointer<TKorSlot> s = slot;
    QPointer<TKorCustomModule> m = module;
    const auto learn = [this, s, m](QByteArray property) {
        return [this, s, m, property] {
            if (s && m)
                BeginLearn(s, m, property);
        };
    };
    const auto forget = [s, m](QByteArray property) {
        return [s, m, property] {
            if (s && m)
                s->ForgetMidiController(m, property);
        };
    };
    std::vector<TControlRef> controls;
    std::vector<bool> bound;
    {
        std::lock_guard lock(FGuard.Mutex);
        controls = ModuleControls(*module);
        for (const TControlRef &c : controls)
            bound.push_back(slot->Sheet()->MidiMap().BindingOf(c.Control) != nullptr);
    }
    for (size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].Control != control)
            continue;
        const QByteArray property = controls[i].Control->Property();
        connect(menu.addAction(QStringLiteral("Learn MIDI controller")), &QAction::triggered, &menu, learn(property));
        QAction *f = menu.addAction(QStringLiteral("Forget MIDI controller"));
        f->setEnabled(bound[i]);
        connect(f, &QAction::triggered, &menu, forget(property));
        return;
    }
    if (controls.empty())
        return;
    QMenu *learnMenu = menu.addMenu(QStringLiteral("Learn MIDI controller"));
    QMenu *forgetMenu = menu.addMenu(QStringLiteral("Forget MIDI controller"));
    for (size_t i = 0; i < controls.size(); ++i) {
        const QByteArray property = controls[i].Control->Property();
        const QString caption = ControlCaption(property.constData());
        connect(learnMenu->addAction(caption), &QAction::triggered, &menu, learn(property));
        if (bound[i])
            connect(forgetMenu->addAction(caption), &QAction::triggered, &menu, forget(property));
    }
    forgetMenu->setEnabled(!forgetMenu->isEmpty());
}

void TKorModulePageControl::MidiInShort(uint32_t aMessage)
{
    if (Learning() && SplitShortMsg(aMessage).Command == 0xB) {
        const TShortMsgParts cc = SplitShortMsg(aMessage);
        QPointer<TKorSlot> slot = FLearnSlot;
        auto *module = qobject_cast<TKorCustomModule *>(FLearnControl->Owner());
        const QByteArray property = FLearnControl->Property();
        EndLearn();
        if (slot && module)
            slot->BindMidiController(module, property, cc.Channel + 1, cc.Data1);
        if (OnLearnChange)
            OnLearnChange(this);
        return; // the learning message moves nothing
    }
    for (TKorSlot *slot : FSlots)
        if (slot->MidiInShort(aMessage, FMidiPickUp))
            RemoteChanged(slot);
}

void TKorModulePageControl::MidiInLong(const TLongMidi &aMessage)
{
    for (TKorSlot *slot : FSlots)
        slot->MidiInLong(aMessage);
}

void TKorModulePageControl::Dump(QTextStream &aFile, int aLevel, int aDepth) const
{
    DumpLine(aFile, aLevel, QString::fromLatin1(metaObject()->className()));
    DumpLine(aFile, aLevel, QStringLiteral("Begin"));
    for (TKorSlot *slot : FSlots)
        slot->Dump(aFile, aLevel + 1, aDepth - 1);
    DumpLine(aFile, aLevel, QStringLiteral("End"));
}

void TKorModulePageControl::NotifyCountChange()
{
    if (OnCountChange)
        OnCountChange(this, FDestroying ? 0 : count());
    NotifyModuleCountChange(ActiveSlot());
}

void TKorModulePageControl::NotifyModuleCountChange(TKorSlot *aSlot)
{
    // The control waiting to learn left with its module or slot: the learn ends unbound.
    if (!FDestroying && (FLearnSlot || FLearnControl) && !Learning())
        CancelLearn();
    if (!OnModuleCountChange)
        return;
    if (FDestroying || !aSlot)
        OnModuleCountChange(this, 0);
    else
        OnModuleCountChange(aSlot, aSlot->ModuleCount());
}

void TKorModulePageControl::PageChanged()
{
    TKorSlot *slot = ActiveSlot();
    if (OnActiveSlotChange)
        OnActiveSlotChange(slot, slot ? slot->SlotName() : QString());
    NotifyModuleCountChange(slot);
}

QString TKorModulePageControl::EmptyHint()
{
    const QString examples = QDir::toNativeSeparators(QDir::cleanPath(ApplicationDirectory() + QStringLiteral("examples")));
    return QStringLiteral("File > New (Ctrl+N), or open a patch (Ctrl+O). Examples are in %1.").arg(examples);
}

void TKorModulePageControl::paintEvent(QPaintEvent *e)
{
    QTabWidget::paintEvent(e);
    if (count() > 0)
        return;
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, EmptyHint());
}
