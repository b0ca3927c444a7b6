#include "ui/header/VolumeCombo.h"

VolumeCombo::VolumeCombo(QWidget* parent) : QComboBox(parent) {}

VolumeCombo::~VolumeCombo() {
    popupHook = nullptr;
}

void VolumeCombo::showPopup() {
    if (popupHook)
        popupHook();
    QComboBox::showPopup();
}
