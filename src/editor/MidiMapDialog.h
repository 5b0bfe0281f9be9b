// The list of a slot's MIDI controller bindings, each removable as an undo step.
#pragma once

#include <QDialog>
#include <QPointer>

class QPushButton;
class QTableWidget;
class TKorSlot;

// Modal, user-interface thread. Rows follow the slot's binding order; the table is read again
// after every removal and whenever the slot's history moves.
class TMidiMapDialog : public QDialog {
    Q_OBJECT
public:
    explicit TMidiMapDialog(TKorSlot *slot, QWidget *parent = nullptr);
    QTableWidget *Table() const { return FTable; }
    QPushButton *RemoveButton() const { return FRemove; }
    // Forgets the binding of the selected row, if any.
    void RemoveSelected();
    void Refill();

private:
    QPointer<TKorSlot> FSlot;
    QTableWidget *FTable;
    QPushButton *FRemove;
};
