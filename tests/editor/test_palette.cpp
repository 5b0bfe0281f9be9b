// The module palette: pages and their one-row layout, button set-up and pictures, enabling,
// and the press that reports a module class. Also checks the pictures the build draws.
#include "AppPaths.h"
#include "Errors.h"
#include "Palette.h"
#include "TestModules.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSet>
#include <QTemporaryDir>
#include <memory>

namespace {

struct TPress {
    TKorModuleButton *Sender;
    const TComponentClass *Class;
};

// A palette that records every OnModuleButtonClick.
struct TRecordingPalette {
    TRecordingPalette()
    {
        Palette.SetOnModuleButtonClick(
            [this](TKorModuleButton *sender, const TComponentClass &cls) { Presses.push_back({sender, &cls}); });
    }
    TKormoduleSelector Palette;
    std::vector<TPress> Presses;
};

void SendMouse(QWidget *w, QEvent::Type type, Qt::MouseButton button)
{
    const QPointF at(4, 4);
    QMouseEvent event(type, at, w->mapToGlobal(at), button,
                      type == QEvent::MouseButtonPress ? button : Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

// Points the application directory at a fresh folder for one test and back at the build tree.
struct TScratchAppDir {
    TScratchAppDir()
    {
        QDir(Dir.path()).mkdir(QStringLiteral("bitmaps"));
        SetApplicationDirectory(Dir.path());
    }
    ~TScratchAppDir() { SetApplicationDirectory(QStringLiteral(KORVANE_APPDIR)); }
    QString Bitmap(const QString &name) const { return Dir.path() + QStringLiteral("/bitmaps/") + name; }
    QTemporaryDir Dir;
};

QImage Solid(int w, int h, QRgb color)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(color);
    image.setPixel(1, 1, qRgb(1, 2, 3)); // not uniform, so a mask leaves something to see
    return image;
}

bool SameImage(const QImage &a, const QImage &b)
{
    return a.convertToFormat(QImage::Format_RGB32) == b.convertToFormat(QImage::Format_RGB32);
}

// Bits per pixel as written in a BMP file's header; 0 when unreadable.
int BmpBitsPerPixel(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray head = f.read(30);
    if (head.size() < 30 || !head.startsWith("BM"))
        return 0;
    return quint8(head[28]) | quint8(head[29]) << 8;
}

// The search box: a palette of five classes on three pages with descriptions.
struct TSearchablePalette : TRecordingPalette {
    TSearchablePalette()
    {
        Palette.AddModuleButton("I/O", ClassOf<TKorTestMidi>());
        Palette.AddModuleButton("Gen", ClassOf<TKorTestSource>());
        Palette.AddModuleButton("Gen", ClassOf<TKorTestThrough>());
        Palette.AddModuleButton("Other", ClassOf<TKorModule4>());
        Palette.AddModuleButton("Other", ClassOf<TKorTestSettings>());
        Palette.SetDescriptions({{"TestSource", "Makes a sine wave."},
                                 {"TestThrough", "Passes a random value on."},
                                 {"TestMidi", "Sends a note now and then."}});
        Palette.SetButtonsEnabled(true);
    }
    QStringList Shown() const
    {
        QStringList names;
        for (TKorModuleButton *b : Palette.Buttons())
            if (!b->isHidden())
                names << TKorModuleButton::ShortName(*b->ModuleClass());
        return names;
    }
    void Key(int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(Palette.SearchBox(), &press);
    }
};

TEST(PaletteSearch, TypingFiltersEveryPageByNameAndDescription)
{
    const struct {
        const char *Text;
        QStringList Shown;
        int Page; // the page shown afterwards: the current one while it has a match
    } cases[] = {
        {"sine", {"TestSource"}, 1},
        {"NOTE", {"TestMidi"}, 0},
        {"random", {"TestThrough"}, 1},
        {"test", {"TestMidi", "TestSource", "TestThrough", "TestSettings"}, 1}, // the shown page has matches
        {"module4", {"Module4"}, 2},
        {"nothing like it", {}, 2},
        {"", {"TestMidi", "TestSource", "TestThrough", "Module4", "TestSettings"}, 2},
    };
    TSearchablePalette p;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Text);
        p.Palette.SearchBox()->setText(QString::fromLatin1(c.Text));
        EXPECT_EQ(p.Shown(), c.Shown);
        EXPECT_EQ(p.Palette.currentIndex(), c.Page);
        for (int i = 0; i < p.Palette.count(); ++i) {
            const bool any = std::any_of(p.Palette.Buttons().begin(), p.Palette.Buttons().end(), [&](TKorModuleButton *b) {
                return b->parentWidget() == p.Palette.widget(i) && !b->isHidden();
            });
            EXPECT_EQ(p.Palette.isTabEnabled(i), any) << "page " << i;
        }
    }
}

TEST(PaletteSearch, MatchesArePackedToTheLeftOfTheirPage)
{
    TSearchablePalette p;
    p.Palette.SearchBox()->setText(QStringLiteral("settings"));
    TKorModuleButton *settings = p.Palette.Buttons().back();
    EXPECT_EQ(settings->x(), 0) << "the hidden Module4 before it leaves no gap";
    p.Palette.SearchBox()->clear();
    EXPECT_EQ(settings->x(), TKorModuleButton::ButtonWidth);
}

TEST(PaletteSearch, EnterPressesTheFirstMatchAndEscapeClears)
{
    TSearchablePalette p;
    p.Palette.SearchBox()->setText(QStringLiteral("random"));
    p.Key(Qt::Key_Return);
    ASSERT_EQ(p.Presses.size(), 1u);
    EXPECT_EQ(p.Presses[0].Class, &ClassOf<TKorTestThrough>());

    p.Key(Qt::Key_Escape);
    EXPECT_EQ(p.Palette.SearchBox()->text(), QString());
    EXPECT_EQ(p.Shown().size(), 5);

    p.Palette.SearchBox()->setText(QStringLiteral("zzz"));
    p.Key(Qt::Key_Return);
    EXPECT_EQ(p.Presses.size(), 1u) << "no match, no press";
    p.Palette.SetButtonsEnabled(false);
    p.Palette.SearchBox()->setText(QStringLiteral("sine"));
    p.Key(Qt::Key_Return);
    EXPECT_EQ(p.Presses.size(), 1u) << "without a slot the buttons are off, and so is Enter";
}

TEST(PaletteSearch, DescriptionsJoinTheNameInTheHint)
{
    TSearchablePalette p;
    EXPECT_EQ(p.Palette.Buttons()[1]->toolTip(), QStringLiteral("TestSource: Makes a sine wave."));
    EXPECT_EQ(p.Palette.Buttons()[3]->toolTip(), QStringLiteral("Module4"));
}

} // namespace

// ---------------------------------------------------------------------------------------------

TEST(PaletteLayout, TwoClassesOnOnePageSitSideBySideOnASinglePage)
{
    TKormoduleSelector palette;
    TKorModuleButton *first = palette.AddModuleButton("Gen", ClassOf<TKorModule>());
    TKorModuleButton *second = palette.AddModuleButton("Gen", ClassOf<TKorModule2>());

    EXPECT_EQ(palette.count(), 1);
    EXPECT_EQ(palette.ButtonCount("Gen"), 2);
    EXPECT_EQ(palette.ButtonCount("Logic"), 0);
    EXPECT_EQ(first->parentWidget(), palette.FindPage("Gen"));
    EXPECT_EQ(second->parentWidget(), palette.FindPage("Gen"));
    EXPECT_EQ(first->pos(), QPoint(0, 0));
    EXPECT_EQ(second->pos(), QPoint(first->width(), 0));
    EXPECT_GT(first->width(), 0);
}

TEST(PaletteLayout, FormatPageAddsUpTheWidthsInChildOrderAndFollowsRemovals)
{
    TKormoduleSelector palette;
    TKorModuleButton *a = palette.AddModuleButton("Other", ClassOf<TKorModule>());
    TKorModuleButton *b = palette.AddModuleButton("Other", ClassOf<TKorModule2>());
    TKorModuleButton *c = palette.AddModuleButton("Other", ClassOf<TKorModule4>());
    QWidget *page = palette.FindPage("Other");

    a->setFixedWidth(50);
    palette.FormatPage(page);
    EXPECT_EQ(b->x(), 50);
    EXPECT_EQ(c->x(), 50 + b->width());

    delete b;
    EXPECT_EQ(palette.Buttons(), (std::vector<TKorModuleButton *>{a, c}));
    palette.FormatPage(page);
    EXPECT_EQ(a->x(), 0);
    EXPECT_EQ(c->x(), 50);
    EXPECT_EQ(palette.ButtonCount("Other"), 2);
}

TEST(PaletteLayout, FormatPageDestroysAPageWithoutButtonsAndShowsTheFirst)
{
    TKormoduleSelector palette;
    palette.AddModuleButton("I/O", ClassOf<TKorMidiBaseModule>());
    TKorModuleButton *gen = palette.AddModuleButton("Gen", ClassOf<TKorTestSource>());
    palette.NewPage("Empty");
    palette.setCurrentIndex(2);

    palette.FormatPage(palette.FindPage("Empty"));
    ASSERT_EQ(palette.count(), 2);
    EXPECT_EQ(palette.currentIndex(), 0);
    EXPECT_EQ(palette.FindPage("Empty"), nullptr);

    // A page whose last button has gone is removed the same way.
    QWidget *page = palette.FindPage("Gen");
    delete gen;
    palette.FormatPage(page);
    EXPECT_EQ(palette.count(), 1);
    EXPECT_EQ(palette.tabText(0), "I/O");
    EXPECT_EQ(palette.Buttons().size(), 1u);
}

TEST(PaletteLayout, FormatPageWithoutAPageIsAnInternalError)
{
    TKormoduleSelector palette;
    try {
        palette.FormatPage(nullptr);
        FAIL() << "no exception";
    } catch (const EAssertionFailed &e) {
        EXPECT_TRUE(e.Message().startsWith("TModuleSelecteor.FormatPage : can't format an unassigned <NIL> page."))
            << e.what();
    }
}

TEST(PalettePages, PagesComeInFirstUseOrderAndTheFirstStaysActive)
{
    TKormoduleSelector palette;
    const std::pair<const char *, const TComponentClass *> registrations[] = {
        {"I/O", &ClassOf<TKorMidiBaseModule>()}, {"Gen", &ClassOf<TKorTestSource>()},
        {"Logic", &ClassOf<TKorTestThrough>()},  {"Gen", &ClassOf<TKorTestMidi>()},
        {"Other", &ClassOf<TKorModule>()},       {"Other", &ClassOf<TKorModule8>()},
    };
    for (const auto &[page, cls] : registrations) {
        palette.AddModuleButton(page, *cls);
        EXPECT_EQ(palette.currentIndex(), 0) << page;
    }

    ASSERT_EQ(palette.count(), 4);
    EXPECT_EQ(palette.tabText(0), "I/O");
    EXPECT_EQ(palette.tabText(1), "Gen");
    EXPECT_EQ(palette.tabText(2), "Logic");
    EXPECT_EQ(palette.tabText(3), "Other");
    EXPECT_EQ(palette.ButtonCount("Gen"), 2);
    EXPECT_EQ(palette.Buttons().size(), 6u);
    // Captions are matched exactly.
    EXPECT_EQ(palette.FindPage("gen"), nullptr);
    EXPECT_EQ(palette.FindPage("Gen "), nullptr);
    EXPECT_EQ(palette.FindPage("Gen"), palette.widget(1));
}

TEST(PaletteButtons, SetUpRemembersPageAndClassAndShowsTheShortNameAsHint)
{
    const struct {
        const char *Page;
        const TComponentClass *Class;
        const char *Hint;
    } cases[] = {
        {"Other", &ClassOf<TKorModule8>(), "Module8"},
        {"I/O", &ClassOf<TKorMidiBaseModule>(), "MidiBaseModule"},
        {"Gen", &ClassOf<TKorTestSource>(), "TestSource"},
    };
    TKormoduleSelector palette;
    for (const auto &c : cases) {
        TKorModuleButton *button = palette.AddModuleButton(c.Page, *c.Class);
        EXPECT_EQ(button->PageName(), c.Page);
        EXPECT_EQ(button->ModuleClass(), c.Class);
        EXPECT_EQ(button->toolTip(), c.Hint);
        EXPECT_TRUE(button->autoRaise());
    }
}

TEST(PaletteButtons, ButtonsEnabledSwitchesEveryButtonOnEveryPage)
{
    TKormoduleSelector palette;
    EXPECT_FALSE(palette.ButtonsEnabled());
    palette.AddModuleButton("I/O", ClassOf<TKorMidiBaseModule>());
    palette.AddModuleButton("Gen", ClassOf<TKorTestSource>());
    auto allEnabled = [&](bool v) {
        return std::all_of(palette.Buttons().begin(), palette.Buttons().end(),
                           [v](TKorModuleButton *b) { return b->isEnabled() == v; });
    };
    EXPECT_TRUE(allEnabled(false));

    palette.SetButtonsEnabled(true);
    palette.AddModuleButton("Gen", ClassOf<TKorTestThrough>()); // made while enabled
    EXPECT_TRUE(allEnabled(true));

    palette.SetButtonsEnabled(false);
    EXPECT_TRUE(allEnabled(false));
    EXPECT_EQ(palette.Buttons().size(), 3u);
}

TEST(PaletteButtons, APressOfAnyMouseButtonReportsTheClassAtThePress)
{
    TRecordingPalette rec;
    rec.Palette.AddModuleButton("Gen", ClassOf<TKorTestSource>());
    TKorModuleButton *button = rec.Palette.AddModuleButton("Gen", ClassOf<TKorTestThrough>());

    SendMouse(button, QEvent::MouseButtonPress, Qt::LeftButton); // disabled at creation
    EXPECT_TRUE(rec.Presses.empty());

    rec.Palette.SetButtonsEnabled(true);
    SendMouse(button, QEvent::MouseButtonPress, Qt::LeftButton);
    ASSERT_EQ(rec.Presses.size(), 1u);
    EXPECT_EQ(rec.Presses[0].Sender, button);
    EXPECT_EQ(rec.Presses[0].Class, &ClassOf<TKorTestThrough>());
    SendMouse(button, QEvent::MouseButtonRelease, Qt::LeftButton); // the release adds nothing
    EXPECT_EQ(rec.Presses.size(), 1u);

    SendMouse(button, QEvent::MouseButtonPress, Qt::RightButton);
    SendMouse(button, QEvent::MouseButtonRelease, Qt::RightButton);
    EXPECT_EQ(rec.Presses.size(), 2u);

    rec.Palette.SetOnModuleButtonClick(nullptr); // no handler: a press is harmless
    SendMouse(button, QEvent::MouseButtonPress, Qt::LeftButton);
    SendMouse(button, QEvent::MouseButtonRelease, Qt::LeftButton);
    EXPECT_EQ(rec.Presses.size(), 2u);
}

// ---------------------------------------------------------------------------------------------

TEST(PaletteImages, ModulePictureFallsBackToModuleBmpAndThenToNone)
{
    const QImage own = Solid(12, 10, qRgb(200, 0, 0));
    const QImage fallback = Solid(14, 9, qRgb(0, 0, 200));
    enum class TFile { Missing, Good, Corrupt };
    const struct {
        const char *Name;
        TFile Own, Module;
        const QImage *Expected; // null: no picture
    } cases[] = {
        {"own picture", TFile::Good, TFile::Good, &own},
        {"own missing", TFile::Missing, TFile::Good, &fallback},
        {"own unreadable", TFile::Corrupt, TFile::Good, &fallback},
        {"both missing", TFile::Missing, TFile::Missing, nullptr},
        {"own missing, fallback unreadable", TFile::Missing, TFile::Corrupt, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.Name);
        TScratchAppDir dir;
        auto put = [&](const QString &file, TFile kind, const QImage &image) {
            if (kind == TFile::Good) {
                ASSERT_TRUE(image.save(dir.Bitmap(file), "BMP"));
            } else if (kind == TFile::Corrupt) {
                QFile f(dir.Bitmap(file));
                ASSERT_TRUE(f.open(QIODevice::WriteOnly));
                f.write("BM this is no picture");
            }
        };
        put("TestSource.bmp", c.Own, own);
        put("Module.bmp", c.Module, fallback);

        TRecordingPalette rec;
        rec.Palette.SetButtonsEnabled(true);
        TKorModuleButton *button = rec.Palette.AddModuleButton("Gen", ClassOf<TKorTestSource>());
        if (c.Expected) {
            EXPECT_TRUE(SameImage(button->Glyph(), *c.Expected));
            EXPECT_FALSE(button->icon().isNull());
        } else {
            EXPECT_TRUE(button->Glyph().isNull());
            EXPECT_TRUE(button->icon().isNull());
        }
        // Whatever the picture, the button works.
        SendMouse(button, QEvent::MouseButtonPress, Qt::LeftButton);
        ASSERT_EQ(rec.Presses.size(), 1u);
        EXPECT_EQ(rec.Presses[0].Class, &ClassOf<TKorTestSource>());
    }
}

// The pictures the build draws into the application directory (the build tree).
TEST(PalettePictures, EveryPaletteClassAndButtonPictureIsDrawn)
{
    const QString appDir = ApplicationDirectory();
    const struct {
        const char *Folder;
        QSize MaxSize;
        QStringList Names;
    } sets[] = {
        {"bitmaps/", QSize(32, 28),
         {"MidiIn",   "MidiOut",   "ControlIn", "ControlOut",   "BendIn",      "BendOut",   "Constant",
          "Square",   "Sine",      "Saw",       "Random",       "RndPulse",    "ClSquare",  "ClSine",
          "ClSaw",    "ClRandom",  "ClRndPulse", "DividerFixed", "FreqDivider", "Amplifier", "Multiplier",
          "Divider",  "Table",     "Neuron",    "Morph",        "SlotCtrl",    "Shifter",   "Scope",
          "Module",   "Module2",   "Module4",   "Module8",   "ClockOut",  "ClockIn",   "Link"}},
        // Button pictures sit at (2, 2) on 25 x 15 push buttons, clipped to 19 x 9.
        {"", QSize(19, 9),
         {"Sym", "Square", "Sine", "Saw", "Random", "RndPulse", "ClSquare", "ClSine", "ClSaw", "ClRandom",
          "ClRndPulse", "Start", "Stop"}},
    };
    for (const auto &set : sets) {
        QSet<QByteArray> distinct;
        for (const QString &name : set.Names) {
            const QString path = appDir + set.Folder + name + ".bmp";
            SCOPED_TRACE(path.toStdString());
            QImage image;
            ASSERT_TRUE(image.load(path));
            EXPECT_EQ(BmpBitsPerPixel(path), 24);
            EXPECT_LE(image.width(), set.MaxSize.width());
            EXPECT_LE(image.height(), set.MaxSize.height());
            EXPECT_GE(image.width(), set.MaxSize.width() - 4);
            // The bottom-left pixel is the transparent colour: it must be the background, so the
            // other corners share it, and the picture must show something else too.
            const QRgb background = image.pixel(0, image.height() - 1);
            EXPECT_EQ(image.pixel(0, 0), background);
            EXPECT_EQ(image.pixel(image.width() - 1, 0), background);
            EXPECT_EQ(image.pixel(image.width() - 1, image.height() - 1), background);
            const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
            int drawn = 0;
            for (int y = 0; y < rgb.height(); ++y)
                for (int x = 0; x < rgb.width(); ++x)
                    drawn += rgb.pixel(x, y) != background;
            EXPECT_GE(drawn, 10);
            distinct.insert(QByteArray(reinterpret_cast<const char *>(rgb.constBits()), rgb.sizeInBytes()));
        }
        EXPECT_EQ(distinct.size(), set.Names.size()) << "two pictures are identical";
    }
}
