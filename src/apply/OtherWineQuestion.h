#pragma once

#include "wine/WineRunner.h"

class QMessageBox;
class QWidget;

/// The question asked before Windows scripts run in a prefix whose own Wine is missing: a
/// message box titled "Varimond" with Yes and Cancel, Cancel the default (Enter and Escape both
/// cancel). Made, not shown, so that a test can look at it.
QMessageBox *MakeOtherWineQuestion(QWidget *parent, const platform::WineQuestion &question);

/// Shows the question over the active window; true for Yes. This is the handler the program
/// registers with platform::setWineQuestionHandler().
bool AskOtherWine(const platform::WineQuestion &question);
