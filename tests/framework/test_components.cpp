// The component tree: two-phase creation, names, lookup, notifications, destruction order,
// creation by class name and the module class registry.
#include "Modules.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

// Records the notifications it gets and what Init saw.
class TRecorder : public TComponent {
public:
    void Init() override { InitSawOwner = Owner() != nullptr; }
    void Notification(TComponent *child, TOperation op) override
    {
        Log << QStringLiteral("%1 %2").arg(op == TOperation::Insert ? "insert" : "remove",
                                           child->Name().isEmpty() ? "?" : child->Name());
    }
    void BeforeDestruction() override
    {
        if (Sink)
            *Sink << "destroy " + Name();
    }
    QStringList Log;
    QStringList *Sink = nullptr;
    bool InitSawOwner = false;
};

class TFailingInit : public TComponent {
public:
    void Init() override { throw EModule("cannot build"); }
};

TEST(Components, CreateInsertsIntoTheOwnerBeforeInit)
{
    TOwned<TRecorder> owner(Create<TRecorder>(nullptr));
    TRecorder *child = Create<TRecorder>(owner.get());
    EXPECT_TRUE(child->InitSawOwner);
    EXPECT_EQ(child->Owner(), owner.get());
    EXPECT_EQ(owner->ComponentCount(), 1);
    EXPECT_EQ(owner->Log, QStringList{"insert ?"});
}

TEST(Components, FreeDestroysChildrenLastFirstAndTellsTheOwner)
{
    QStringList events;
    TOwned<TRecorder> root(Create<TRecorder>(nullptr));
    auto *parent = Create<TRecorder>(root.get());
    parent->SetName("P");
    parent->Sink = &events;
    for (const char *name : {"A", "B", "C"}) {
        auto *c = Create<TRecorder>(parent);
        c->SetName(name);
        c->Sink = &events;
    }
    Free(parent);
    EXPECT_EQ(events, (QStringList{"destroy P", "destroy C", "destroy B", "destroy A"}));
    EXPECT_EQ(root->Log, (QStringList{"insert ?", "remove P"}));
    EXPECT_EQ(root->ComponentCount(), 0);
}

TEST(Components, InitFailureFreesTheHalfBuiltComponent)
{
    TOwned<TRecorder> owner(Create<TRecorder>(nullptr));
    EXPECT_THROW(Create<TFailingInit>(owner.get()), EModule);
    EXPECT_EQ(owner->ComponentCount(), 0);
    EXPECT_EQ(owner->Log, (QStringList{"insert ?", "remove ?"}));
}

TEST(Components, NamesAreUniqueAmongSiblingsRegardlessOfCase)
{
    TOwned<TRecorder> owner(Create<TRecorder>(nullptr));
    auto *a = Create<TRecorder>(owner.get());
    auto *b = Create<TRecorder>(owner.get());
    a->SetName("Sine0");
    EXPECT_EQ(owner->FindComponent("SINE0"), a);
    EXPECT_EQ(owner->FindComponent(""), nullptr);
    try {
        b->SetName("sine0");
        FAIL() << "clash not raised";
    } catch (const EComponentError &e) {
        EXPECT_EQ(e.Message(), "A component named sine0 already exists");
    }
    EXPECT_EQ(b->Name(), "");
    EXPECT_NO_THROW(a->SetName("SINE0")) << "a component may change the case of its own name";
    auto *c = Create<TRecorder>(owner.get());
    EXPECT_NO_THROW(c->SetName("")) << "empty names never clash";
    EXPECT_THROW(c->SetName("two words"), EComponentError);
    EXPECT_THROW(c->SetName("9lives"), EComponentError);
    EXPECT_NO_THROW(c->SetName("In1_1"));
    TOwned<TRecorder> other(Create<TRecorder>(nullptr));
    auto *d = Create<TRecorder>(other.get());
    EXPECT_NO_THROW(d->SetName("Sine0")) << "names only clash under one owner";
}

// Names are looked up in an index; it must follow every way a name comes and goes.
TEST(Components, ANameIsFreeAgainOnceItsBearerIsRenamedRemovedOrGone)
{
    TOwned<TRecorder> owner(Create<TRecorder>(nullptr));
    auto *a = Create<TRecorder>(owner.get());
    a->SetName("Saw0");
    a->SetName("Saw1");
    EXPECT_EQ(owner->FindComponent("saw0"), nullptr);
    EXPECT_EQ(owner->FindComponent("SAW1"), a);
    a->SetName("");
    EXPECT_EQ(owner->FindComponent("Saw1"), nullptr);

    auto *b = Create<TRecorder>(owner.get());
    b->SetName("Saw0");
    owner->RemoveComponent(b);
    EXPECT_EQ(owner->FindComponent("Saw0"), nullptr);
    EXPECT_EQ(b->Owner(), nullptr);
    owner->InsertComponent(b);
    EXPECT_EQ(owner->FindComponent("saw0"), b) << "a named child joining is found";
    EXPECT_THROW(a->SetName("SAW0"), EComponentError);

    Free(b);
    EXPECT_EQ(owner->FindComponent("Saw0"), nullptr);
    auto *c = Create<TRecorder>(owner.get());
    c->SetName("Saw0");
    delete c; // the QObject way, past Free
    EXPECT_EQ(owner->FindComponent("Saw0"), nullptr);
    EXPECT_NO_THROW(a->SetName("Saw0"));
}

TEST(Components, FirstFreeNameTakesTheLowestNumberEvenAfterNamesLeave)
{
    TOwned<TRecorder> owner(Create<TRecorder>(nullptr));
    std::vector<TRecorder *> sines;
    const auto add = [&] {
        auto *c = Create<TRecorder>(owner.get());
        c->SetName(owner->FirstFreeName("Sine"));
        sines.push_back(c);
        return c->Name();
    };
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(add(), QStringLiteral("Sine%1").arg(i));
    Free(sines[2]);
    EXPECT_EQ(add(), "Sine2");
    EXPECT_EQ(add(), "Sine5");
    sines[3]->SetName("Lead");
    EXPECT_EQ(add(), "Sine3");
    auto *odd = Create<TRecorder>(owner.get());
    odd->SetName("SINE7"); // another case still takes the number
    odd->SetName("Sine07");
    EXPECT_EQ(add(), "Sine6");
    EXPECT_EQ(add(), "Sine7");
    Free(odd); // "Sine07" is not how 7 is written: nothing below 8 becomes free
    EXPECT_EQ(add(), "Sine8");
    EXPECT_EQ(owner->FirstFreeName("Saw"), "Saw0");
}

TEST(Components, FindComponentLooksOnlyAtDirectChildren)
{
    TOwned<TRecorder> owner(Create<TRecorder>(nullptr));
    auto *child = Create<TRecorder>(owner.get());
    auto *grandchild = Create<TRecorder>(child);
    grandchild->SetName("Deep");
    EXPECT_EQ(owner->FindComponent("Deep"), nullptr);
    EXPECT_EQ(child->FindComponent("deep"), grandchild);
}

TEST(Components, CreationByClassNameRunsTheFullCreation)
{
    auto sheet = CreateOwned<TKorDrawSheet>();
    RegisterClass(ClassOf<TKorTestSource>());
    TComponent *c = CreateComponent("TKorTestSource", sheet.get());
    auto *m = qobject_cast<TKorTestSource *>(c);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Name(), "TestSource0");
    EXPECT_NE(m->Out, nullptr) << "CreateDetails ran through the virtual Init";
    EXPECT_EQ(sheet->ModuleCount(), 1);
    try {
        CreateComponent("TKorNoSuchThing", sheet.get());
        FAIL() << "unknown class created";
    } catch (const EClassNotFound &e) {
        EXPECT_EQ(e.Message(), "Class TKorNoSuchThing not found");
    }
}

TEST(Components, RegistryKeepsCurrentAndOldNamesInOrder)
{
    const QStringList framework{"TKorDrawSheet", "TKorCustomModule", "TKorModule", "TKorModule2",
                                "TKorModule4",   "TKorModule8",      "TKorMidiBaseModule"};
    ASSERT_GE(ClassNames().size(), framework.size());
    EXPECT_EQ(ClassNames().mid(0, framework.size()), framework);
    EXPECT_EQ(OldNames().at(0), "TDrawSheet");
    EXPECT_EQ(OldNames().at(6), "TMidiBaseModule");
    EXPECT_EQ(OldClassName("TKorKORkorX"), "TX");

    RegisterModuleClasses({&ClassOf<TKorTestThrough>(), &ClassOf<TKorTestMidi>()});
    RegisterModuleClasses({&ClassOf<TKorTestThrough>()}); // twice is harmless
    EXPECT_EQ(ClassNames().count("TKorTestThrough"), 1);
    const qsizetype i = ClassNames().indexOf("TKorTestThrough");
    EXPECT_EQ(ClassNames().at(i + 1), "TKorTestMidi");
    EXPECT_EQ(OldNames().at(i), "TTestThrough");
    EXPECT_EQ(ClassNames().size(), OldNames().size());
    EXPECT_EQ(FindModuleClass("TKorTestThrough").Meta, &TKorTestThrough::staticMetaObject);
    EXPECT_THROW(FindModuleClass("TTestThrough"), EClassNotFound) << "old names are only for converting files";
}

} // namespace
