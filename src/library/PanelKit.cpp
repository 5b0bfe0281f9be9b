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

TKorKnob *AddKnobWithViewer(TKorCustomModule &m, QPoint viewerAt, int32_t viewerWidthDelta, QPoint knobAt,
                            const TKnobSpec &spec)
{
    auto *viewer = m.AddDetail<TKorViewer>(viewerAt.x(), viewerAt.y());
    viewer->SetWidth(viewer->Width() + viewerWidthDelta);
    auto *knob = m.AddDetail<TKorKnob>(knobAt.x(), knobAt.y());
    knob->SetMin(spec.Min);
    knob->SetMax(spec.Max);
    knob->SetStep(spec.Step);
    knob->SetPosition(spec.Position);
    knob->SetViewer(viewer);
    return knob;
}

TKorPushButton *AddButton(TKorCustomModule &m, int32_t left, int32_t top, const TButtonSpec &spec)
{
    auto *button = m.AddDetail<TKorPushButton>(left, top);
    button->SetWidth(spec.Width);
    button->SetHeight(spec.Height);
    if (!spec.Picture.isEmpty())
        button->LoadGlyph(spec.Picture);
    button->SetAllowAllUp(spec.AllowAllUp);
    button->SetGroupIndex(spec.Group);
    button->SetDown(spec.Down);
    return button;
}

TKorLed *AddLamp(TKorCustomModule &m, int32_t left, int32_t top)
{
    return m.AddDetail<TKorLed>(left, top);
}
