// Opens an editor window (palette and one slot holding a few wired modules with knobs,
// buttons, lamps, viewers and a graph), runs some ticks and saves a picture of the window.
//   editor_snapshot OUT.png [APPLICATION_DIRECTORY]
#include "Editor.h"

#include <QApplication>
#include <QVBoxLayout>
#include <cmath>

namespace {

// A source with a level knob shown in a viewer and a waveform button; "Out" carries the level.
class TKorDemoSource : public TKorModule {
public:
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        auto *label = AddDetail<TKorTextLabel>(75, 4);
        label->SetAutoSize(true);
        label->SetText("level");
        label->SetAutoSize(false);
        Viewer = AddDetail<TKorViewer>(110, 2);
        Knob = AddDetail<TKorKnob>(160, 14);
        Knob->SetMin(-1000);
        Knob->SetMax(1000);
        Knob->SetViewer(Viewer);
        Knob->SetPosition(600);
        auto *wave = AddDetail<TKorPushButton>(10, 25);
        wave->SetWidth(25);
        wave->SetHeight(15);
        wave->LoadGlyph("Sine.bmp");
        Out = AddDetail<TKorOutput>(225, 30, "Out");
        Out->SetKind(Symmetric);
    }
    void Execute() override { Out->SetValue(Knob->Position()); }
    TKorKnob *Knob = nullptr;
    TKorViewer *Viewer = nullptr;
    TKorOutput *Out = nullptr;
};

// Shows its input on a lamp (lit above 0) and passes it on.
class TKorDemoGate : public TKorModule {
public:
    void CreateDetails() override
    {
        TKorModule::CreateDetails();
        In = AddDetail<TKorInput>(10, 25, "In");
        Lamp = AddDetail<TKorLed>(120, 30);
        Out = AddDetail<TKorOutput>(225, 30, "Out");
        Out->SetKind(Logic);
    }
    void Execute() override
    {
        Lamp->SetOn(In->Value() > 0);
        Out->SetValue(In->Value() > 0 ? 1000 : 0);
    }
    TKorInput *In = nullptr;
    TKorLed *Lamp = nullptr;
    TKorOutput *Out = nullptr;
};

// A two-row scope-like module plotting a sine on its graph sheet.
class TKorDemoScope : public TKorModule2 {
public:
    void CreateDetails() override
    {
        TKorModule2::CreateDetails();
        In = AddDetail<TKorInput>(10, 40, "In");
        Graph = AddDetail<TKorGraphSheet>(60, 16);
        Graph->SetWidth(180);
        Graph->SetHeight(78);
        for (int i = 0; i < Graph->Count(); ++i)
            Graph->SetPoint(i, QPoint(i * 1000 / (Graph->Count() - 1),
                                      int(std::lround(900 * std::sin(i * 6.2832 / 64)))));
    }
    TKorInput *In = nullptr;
    TKorGraphSheet *Graph = nullptr;
};

template <class M>
M *Place(TKorSlot *slot, int left, int top, const char *title)
{
    M *m = Create<M>(slot->Sheet());
    m->SetLeft(left);
    m->SetTop(top);
    m->SetTitle(title);
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: editor_snapshot OUT.png [APPLICATION_DIRECTORY]\n");
        return 2;
    }
    if (argc > 2)
        SetApplicationDirectory(QString::fromLocal8Bit(argv[2]));

    QWidget window;
    window.setWindowTitle("Korvane");
    auto *layout = new QVBoxLayout(&window);
    auto *palette = new TKormoduleSelector;
    for (const TComponentClass *cls :
         {&ClassOf<TKorModule>(), &ClassOf<TKorModule2>(), &ClassOf<TKorModule4>(), &ClassOf<TKorModule8>()})
        palette->AddModuleButton("Other", *cls);
    palette->setFixedHeight(70);
    auto *pages = new TKorModulePageControl;
    layout->addWidget(palette);
    layout->addWidget(pages, 1);
    palette->SetButtonsEnabled(true);
    pages->NewSlot("");
    TKorSlot *slot = pages->NewSlot("Demo");

    {
        std::lock_guard lock(slot->Guard().Mutex);
        auto *source = Place<TKorDemoSource>(slot, 0, 0, "Level");
        auto *gate = Place<TKorDemoGate>(slot, 250, 50, "Gate");
        auto *scope = Place<TKorDemoScope>(slot, 500, 0, "Scope");
        auto *lower = Place<TKorDemoSource>(slot, 0, 150, "Offset");
        lower->Knob->SetPosition(-350);
        TKorDrawSheet *sheet = slot->Sheet();
        sheet->ToggleConnection(source->Out, gate->In);
        sheet->ToggleConnection(gate->Out, scope->In);
        sheet->ToggleConnection(lower->Out, gate->In);
        gate->SetSelected(true);
    }
    for (int i = 0; i < 3; ++i)
        pages->Execute();

    window.resize(1000, 420);
    window.show();
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    const bool saved = window.grab().save(QString::fromLocal8Bit(argv[1]));
    std::printf("%s %s\n", saved ? "wrote" : "could not write", argv[1]);
    return saved ? 0 : 1;
}
