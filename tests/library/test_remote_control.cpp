// Controls driven from outside: finding a module's control by its property, and turning
// 7-bit controller values and free values into the values a knob or button can hold.
#include "LibraryTestSupport.h"

#include "Registry.h"

#include <QMetaProperty>
#include <gtest/gtest.h>

namespace {

struct TScaleCase {
    const char *Name;
    TControlRange Range;
    int Controller; // 0-127, or -1: only the free value is checked
    int64_t Free;   // a value in the property's units
    int32_t Want;
};

TEST(RemoteControl, ControllerAndFreeValuesAreClampedAndStepped)
{
    const TControlRange knob{-1000, 1000, 4, false}, wide{-10000, 10000, 40, false}, odd{0, 10, 3, false},
        unstepped{0, 1000, 1, false}, button{0, 1, 1, true};
    const std::vector<TScaleCase> cases = {
        {"controller 0 gives the bottom", knob, 0, 0, -1000},
        {"controller 127 gives the top exactly", knob, 127, 0, 1000},
        {"controller 64 lands on a step above the middle", knob, 64, 0, 8},
        {"controller 1 of a wide range, stepped by 40", wide, 1, 0, -9840},
        {"a top that is no whole number of steps from the bottom", odd, 127, 0, 10},
        {"below the top of such a range, to the nearest step", odd, 120, 0, 9},
        {"unstepped knob, controller 100", unstepped, 100, 0, 787},
        {"button up below 64", button, 63, 0, 0},
        {"button down from 64", button, 64, 0, 1},
        {"free value inside the range, rounded to the nearest step", knob, -1, 7, 8},
        {"free value half a step rounds up", knob, -1, 2, 4},
        {"free value above the range", knob, -1, 5000, 1000},
        {"free value below the range", knob, -1, -5000, -1000},
        {"free value beyond 32 bits", knob, -1, int64_t(1) << 40, 1000},
        {"free value near the top of an uneven range", odd, -1, 10, 10},
        {"any nonzero button value presses it", button, -1, -3, 1},
    };
    for (const TScaleCase &c : cases) {
        if (c.Controller >= 0)
            EXPECT_EQ(ControllerValue(c.Range, c.Controller), c.Want) << c.Name;
        else
            EXPECT_EQ(SteppedValue(c.Range, c.Free), c.Want) << c.Name;
    }
}

TEST(RemoteControl, FindsAControlByItsPropertyAndSetsItThroughTheModule)
{
    TSheetFixture f;
    auto *amp = f.Add<TKorAmplifier>();
    TControlRef ref;
    ASSERT_TRUE(FindControl(*amp, "KnobClipValue", ref));
    EXPECT_EQ(ref.Control, amp->ClipKnob());
    EXPECT_EQ(ref.Range.Min, 0);
    EXPECT_EQ(ref.Range.Max, 1000);
    EXPECT_TRUE(SetControlValue(ref, 501));
    EXPECT_EQ(amp->KnobClipValue(), 500) << "stepped by 4";
    EXPECT_EQ(ControlValue(ref), 500);
    EXPECT_FALSE(SetControlValue(ref, 500)) << "no change";

    EXPECT_FALSE(FindControl(*amp, "Title", ref)) << "a property no control stands for";
    EXPECT_FALSE(FindControl(*amp, "knobclipvalue", ref)) << "names compare exactly";
    const std::vector<TControlRef> all = ModuleControls(*amp);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].Control, amp->AmpKnob());
    EXPECT_EQ(all[1].Control, amp->ClipKnob());
}

// Every knob of every registered module, and every button but those that cycle a setting on
// a click or are the other members of a radio group, stands for a property the patch file
// stores, and is found under that property's name.
TEST(RemoteControl, EveryModuleControlIsFoundUnderTheStoredPropertyItStandsFor)
{
    TSheetFixture f;
    int controls = 0;
    for (const QString &name : ClassNames()) {
        const TComponentClass &cls = FindModuleClass(name);
        if (!cls.InheritsFrom(TKorCustomModule::staticMetaObject) || name == "TKorDrawSheet")
            continue;
        auto *m = qobject_cast<TKorCustomModule *>(CreateComponent(cls, f.Sheet.get()));
        if (!m)
            continue; // an abstract base
        SCOPED_TRACE(name.toStdString());
        std::vector<int> taggedGroups;
        std::vector<TKorPushButton *> untaggedGrouped;
        for (QObject *child : m->children()) {
            auto *knob = qobject_cast<TKorKnob *>(child);
            auto *button = qobject_cast<TKorPushButton *>(child);
            if (!knob && !button)
                continue;
            auto *detail = static_cast<TKorCustomDetail *>(child);
            if (!detail->Property()) {
                EXPECT_EQ(knob, nullptr) << "a knob at " << detail->Left() << "," << detail->Top() << " stands for nothing";
                if (button && !button->OnClick()) {
                    EXPECT_GT(button->GroupIndex(), 0) << "a toggle at " << detail->Left() << "," << detail->Top()
                                                       << " stands for nothing";
                    untaggedGrouped.push_back(button);
                }
                continue;
            }
            ++controls;
            if (button && button->GroupIndex() > 0)
                taggedGroups.push_back(button->GroupIndex());
            TControlRef ref;
            ASSERT_TRUE(FindControl(*m, detail->Property(), ref)) << detail->Property();
            EXPECT_EQ(ref.Control, detail) << detail->Property();
            EXPECT_TRUE(m->metaObject()->property(ref.PropertyIndex).isStored()) << detail->Property();
            EXPECT_EQ(ref.Range.Button, button != nullptr) << detail->Property();
            EXPECT_TRUE(SetControlValue(ref, ControllerValue(ref.Range, ControlValue(ref) == ref.Range.Max ? 0 : 127)))
                << detail->Property() << " does not move its control";
        }
        for (TKorPushButton *b : untaggedGrouped)
            EXPECT_NE(std::find(taggedGroups.begin(), taggedGroups.end(), b->GroupIndex()), taggedGroups.end())
                << "a radio group in which no button stands for a property";
    }
    EXPECT_GT(controls, 40);
}

} // namespace
