#include "MidiMapDialog.h"

#include "Slot.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QUndoStack>
#include <QVBoxLayout>

TMidiMapDialog::TMidiMapDialog(TKorSlot *slot, QWidget *parent)
    : QDialog(parent), FSlot(slot), FTable(new QTableWidget(0, 4, this)),
      FRemove(new QPushButton(QStringLiteral("&Remove"), this))
{
    setWindowTitle(QStringLiteral("MIDI mappings") + (slot ? QStringLiteral(" - ") + slot->SlotName() : QString()));
    FTable->setObjectName(QStringLiteral("TableMappings"));
    FTable->setHorizontalHeaderLabels(
        {QStringLiteral("Module"), QStringLiteral("Control"), QStringLiteral("Channel"), QStringLiteral("Controller")});
    FTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTable->verticalHeader()->hide();
    FTable->horizontalHeader()->setStretchLastSection(true);
    FRemove->setObjectName(QStringLiteral("ButtonRemove"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->addButton(FRemove, QDialogButtonBox::ActionRole);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(FRemove, &QPushButton::clicked, this, &TMidiMapDialog::RemoveSelected);
    connect(FTable, &QTableWidget::itemSelectionChanged, this,
            [this] { FRemove->setEnabled(!FTable->selectedItems().isEmpty()); });
    if (slot)
        connect(slot->History(), &QUndoStack::indexChanged, this, &TMidiMapDialog::Refill);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(FTable);
    layout->addWidget(buttons);
    resize(460, 300);
    Refill();
}

void TMidiMapDialog::Refill()
{
    FTable->setRowCount(0);
    FRemove->setEnabled(false);
    if (!FSlot || !FSlot->Sheet())
        return;
    std::lock_guard lock(FSlot->Guard().Mutex);
    const std::vector<TMidiBinding> &bindings = FSlot->Sheet()->MidiMap().Bindings();
    FTable->setRowCount(int(bindings.size()));
    for (int row = 0; row < int(bindings.size()); ++row) {
        const TMidiBinding &b = bindings[size_t(row)];
        const QStringList cells = {b.Ref.Module->Title(), ControlCaption(b.Property()), QString::number(b.Channel),
                                   QString::number(b.Controller)};
        for (int column = 0; column < cells.size(); ++column)
            FTable->setItem(row, column, new QTableWidgetItem(cells[column]));
    }
}

void TMidiMapDialog::RemoveSelected()
{
    const int row = FTable->currentRow();
    if (!FSlot || row < 0 || FTable->selectedItems().isEmpty())
        return;
    TKorCustomModule *module = nullptr;
    QByteArray property;
    {
        std::lock_guard lock(FSlot->Guard().Mutex);
        const std::vector<TMidiBinding> &bindings = FSlot->Sheet()->MidiMap().Bindings();
        if (size_t(row) >= bindings.size())
            return;
        module = bindings[size_t(row)].Ref.Module;
        property = bindings[size_t(row)].Property();
    }
    FSlot->ForgetMidiController(module, property);
    Refill();
}
