#pragma once

#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <initializer_list>

namespace terval {

// The dialogs' face: Times New Roman (Liberation Serif on Linux) at a size in pixels, so that the
// layouts come out the same whatever the screen's resolution.
QFont namedFont(int pixelSize, bool bold = false);
void setTextColor(QWidget* w, const QColor& color);
// A label that shows its text as it is, never as rich text: names come from the operator.
QLabel* plainLabel(QWidget* parent, const QString& text, const char* name = nullptr);
// "LabelProblem": a hidden, selectable dark-red line that says why a window cannot show what it
// was asked for (a journal that cannot be read).
QLabel* problemLabel(QWidget* parent);
// A window opened again from a menu comes up in front, whether it was hidden, minimised or
// behind others.
void showInFront(QWidget* window);

// The station's dialogs are fixed in size, sized to their contents with a 15-pixel border, with
// a title bar and a close box only. Returns the dialog's column layout.
QVBoxLayout* setUpFixedDialog(QDialog* dialog, const char* objectName, const QString& title);

// A bold heading at the top of a dialog.
QLabel* addHeading(QVBoxLayout* column, QWidget* parent, const QString& text);

// A push button that Enter presses when it has the focus, and never otherwise: no dialog of the
// station has a default button that Enter would press from a field.
class DialogButton : public QPushButton {
  public:
    DialogButton(const QString& caption, QWidget* parent);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

QPushButton* dialogButton(QWidget* parent, const char* objectName, const QString& caption);

// Puts a window inside the free area of its screen (the desktop less its panels), shrunk to that
// area when larger, never below its minimum size; centred there with `centre`, otherwise moved no
// further than it must. Too large even so, its top-left corner with the title stays in sight.
void fitOnScreen(QWidget* window, bool centre = false);
// Centres a window on the free area of the screen it is on, fitted into it.
void centreOnScreen(QWidget* window);
// Keeps a window inside its screen: each time it is shown, and each time it changes size while
// shown (a dialog that takes the size of its page), it is fitted as fitOnScreen does.
void keepOnScreen(QWidget* window);

// The row of buttons at the bottom right of a dialog.
QHBoxLayout* addButtonRow(QVBoxLayout* column, std::initializer_list<QPushButton*> buttons);

}  // namespace terval
