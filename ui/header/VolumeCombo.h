// The header's source combo: a QComboBox that runs a hook just before its drop-down
// opens (the header refreshes the list there when the mounts changed). GUI thread.
#pragma once

#include <QComboBox>

#include <functional>

class VolumeCombo : public QComboBox {
    Q_OBJECT

public:
    explicit VolumeCombo(QWidget* parent = nullptr);
    ~VolumeCombo() override;

    void showPopup() override;

    std::function<void()> popupHook;
};
