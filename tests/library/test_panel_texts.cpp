// Every text on every module panel fits the room the pixel layout gives it, measured with the
// font the detail actually paints with: captions and titles before the next detail on their
// row and inside the panel, viewer values inside their frame.
#include "DrawSheet.h"
#include "MoreMods.h"
#include "PanelControls.h"
#include "Registry.h"
#include "TextLabel.h"

#include <gtest/gtest.h>

#include <QFontMetrics>

namespace {

// Where a label's text may reach: the next detail to its right on its row, the panel's right
// border and the label's own right edge (it paints clipped to itself).
int32_t RoomOf(const TKorTextLabel &label, const TKorCustomModule &module)
{
    int32_t right = std::min(module.Width() - 1, label.Left() + label.Width());
    for (QObject *child : module.children()) {
        auto *d = qobject_cast<TKorCustomDetail *>(child);
        if (!d || d == &label || d->Left() <= label.Left())
            continue;
        if (d->Top() < label.Top() + label.Height() && d->Top() + d->Height() > label.Top())
            right = std::min(right, d->Left());
    }
    return right - label.Left();
}

// The width a label's text needs: the text plus the one-pixel border on its left.
int32_t NeedOf(const TKorTextLabel &label, const QString &text)
{
    return QFontMetrics(label.Font()).horizontalAdvance(text) + 1;
}

std::vector<const TComponentClass *> ModuleClasses()
{
    std::vector<const TComponentClass *> out;
    for (const QString &name : ClassNames()) {
        const TComponentClass &cls = FindModuleClass(name);
        if (cls.InheritsFrom(TKorCustomModule::staticMetaObject) && name != "TKorDrawSheet")
            out.push_back(&cls);
    }
    return out;
}

class PanelTexts : public ::testing::Test {
protected:
    TKorCustomModule *Make(const TComponentClass &cls)
    {
        return qobject_cast<TKorCustomModule *>(CreateComponent(cls, Sheet.get()));
    }
    TOwned<TKorDrawSheet> Sheet = CreateOwned<TKorDrawSheet>();
};

TEST_F(PanelTexts, EveryCaptionAndTitleFitsBeforeTheNextDetailOnItsRow)
{
    int labels = 0;
    for (const TComponentClass *cls : ModuleClasses()) {
        TKorCustomModule *m = Make(*cls);
        if (!m)
            continue; // an abstract base
        SCOPED_TRACE(m->ClassName().toStdString());
        for (QObject *child : m->children())
            if (auto *label = qobject_cast<TKorTextLabel *>(child)) {
                ++labels;
                EXPECT_LE(NeedOf(*label, label->Text()), RoomOf(*label, *m))
                    << '"' << label->Text().toStdString() << "\" at " << label->Left() << "," << label->Top();
            }
    }
    EXPECT_GT(labels, 50) << "every module class was measured";
}

TEST_F(PanelTexts, TitlesOfTheExamplesFit)
{
    const struct {
        const char *Class, *Title;
    } cases[] = {
        {"TKorSquare", "Clock 150 ms"},     {"TKorMidiOut", "Lead, channel 1"}, {"TKorSine", "Velocity swell"},
        {"TKorConstant", "Velocity floor"}, {"TKorClSaw", "Step 0..7"},         {"TKorTable", "A minor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Title);
        TKorCustomModule *m = Make(FindModuleClass(QString::fromLatin1(c.Class)));
        ASSERT_TRUE(m && m->TitleLabel());
        m->SetTitle(QString::fromLatin1(c.Title)); // the title grows with its text
        EXPECT_LE(NeedOf(*m->TitleLabel(), m->Title()), RoomOf(*m->TitleLabel(), *m));
    }
    // A short title leaves the title at its usual width.
    TKorCustomModule *m = Make(FindModuleClass("TKorSquare"));
    m->SetTitle("Clock 150 ms");
    m->SetTitle("Clk");
    EXPECT_EQ(m->TitleLabel()->Width(), 55);
}

TEST_F(PanelTexts, EveryKnobValueFitsItsViewer)
{
    int viewers = 0;
    for (const TComponentClass *cls : ModuleClasses()) {
        TKorCustomModule *m = Make(*cls);
        if (!m)
            continue;
        SCOPED_TRACE(m->ClassName().toStdString());
        for (QObject *child : m->children()) {
            auto *knob = qobject_cast<TKorKnob *>(child);
            TKorViewer *viewer = knob ? knob->Viewer() : nullptr;
            if (!viewer)
                continue;
            ++viewers;
            // The text starts 4 pixels in; the frame's right column stays clear.
            const int room = viewer->Width() - 4 - 1;
            for (int32_t value : {knob->Min(), knob->Max()}) {
                knob->SetPosition(value);
                EXPECT_LE(QFontMetrics(viewer->Font()).horizontalAdvance(viewer->Text()), room)
                    << knob->Name().toStdString() << " shows \"" << viewer->Text().toStdString() << '"';
            }
        }
    }
    EXPECT_GT(viewers, 20);
}

} // namespace
