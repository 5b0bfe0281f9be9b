#include "PanelKit.h"

TKorTextLabel *AddLabel(TKorCustomModule &m, int32_t left, int32_t top, const QString &text)
{
    auto *label = m.AddDetail<TKorTextLabel>(left, top);
    label->SetAutoSize(true);
    label->SetText(text);
    label->SetAutoSize(false);
    label->SetTransparent(false);
    label->SetFontColor(0);
    return label;
}

TKorInput *AddInput(TKorCustomModule &m, int32_t left, int32_t top, const QString &name, TSignalKind kind)
{
    auto *in = m.AddDetail<TKorInput>(left, top, name);
    in->SetKind(kind);
    in->SetValue(0);
    return in;
}

TKorOutput *AddOutput(TKorCustomModule &m, int32_t left, int32_t top, const QString &name, TSignalKind kind)
{
    auto *out = m.AddDetail<TKorOutput>(left, top, name);
    out->SetKind(kind);
    out->SetValue(0);
    return out;
}

void ConfigureKnob(TKorKnob &knob, const TKnobSpec &settings)
{
    knob.SetMin(settings.Min);
    knob.SetMax(settings.Max);
    knob.SetStep(settings.Step);
    knob.SetPosition(settings.Position);
    if (settings.Property)
        knob.SetProperty(settings.Property);
}

TKorKnob *AddKnobWithViewer(TKorCustomModule &m, QPoint viewerAt, int32_t viewerWidthDelta, QPoint knobAt,
                            const TKnobSpec &settings)
{
    auto *viewer = m.AddDetail<TKorViewer>(viewerAt.x(), viewerAt.y());
    viewer->SetWidth(viewer->Width() + viewerWidthDelta);
    auto *knob = m.AddDetail<TKorKnob>(knobAt.x(), knobAt.y());
    ConfigureKnob(*knob, settings);
    knob->SetViewer(viewer);
    return knob;
}

TKorPushButton *AddButton(TKorCustomModule &m, int32_t left, int32_t top, const TButtonSpec &settings)
{
    auto *button = m.AddDetail<TKorPushButton>(left, top);
    button->SetWidth(settings.Width);
    button->SetHeight(settings.Height);
    if (!settings.Picture.isEmpty())
        button->LoadGlyph(settings.Picture);
    button->SetAllowAllUp(settings.AllowAllUp);
    button->SetGroupIndex(settings.Group);
    button->SetDown(settings.Down);
    button->SetProperty(settings.Property);
    return button;
}

TKorLed *AddLamp(TKorCustomModule &m, int32_t left, int32_t top)
{
    return m.AddDetail<TKorLed>(left, top);
}
