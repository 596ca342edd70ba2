#include "formtools.h"

#include <QComboBox>

#include "db_dataset.h"
#include "qtext.h"

void FillFieldList(QComboBox* list, TDataSet& dataSet) {
    list->clear();
    for (int i = 0; i < dataSet.FieldCount(); ++i) {
        TField& field = dataSet.Fields(i);
        if (field.IsBlob()) continue;
        list->addItem(FromAnsi(field.DisplayName()), i);
    }
    list->model()->sort(0);
    list->setCurrentIndex(list->count() > 0 ? 0 : -1);
}

TField* ChosenField(const QComboBox* list, TDataSet& dataSet) {
    if (list->currentIndex() < 0) return nullptr;
    const int index = list->currentData().toInt();
    return index >= 0 && index < dataSet.FieldCount() ? &dataSet.Fields(index) : nullptr;
}
