#pragma once

#include "ui/form_style.h"
#include "ui/outer_geometry.h"

#include <QPushButton>
#include <QWidget>

namespace qz {

// The audience window: the last press's pad number and button text in large
// type, on a second monitor. It has no logic of its own: the main window
// places it, shows it, writes its two value labels and decides what "EXIT"
// does.
class frmSecondary final : public QWidget {
public:
    // Runs the load step: the outer size becomes that of the primary screen.
    frmSecondary();
    ~frmSecondary() override;

    // Places the window's outer left edge (frame included).
    void SetLeft(int left);

    // True once the window has been closed; a closed window is deleted by the
    // event loop soon after and must not be written to any more.
    bool Closed() const { return closed_; }

    ValueLabel* const lblPad;
    ValueLabel* const lblButton;
    QLabel* const lblPadPrompt;
    QLabel* const Label2; // the "Button:" prompt beside lblButton
    QPushButton* const Command1; // "EXIT": ends the program, as the main window's Exit does

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Form_Load();

    OuterGeometry outer_;
    bool closed_ = false;
};

} // namespace qz
