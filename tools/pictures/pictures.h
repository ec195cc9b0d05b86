// What make_pictures draws, one group at a time. Each writes its pictures into the folder and
// reports layout problems through problem() (drawing.h).
#pragma once

#include <QString>

// data/tips/state*.jpg: the rejection tips shown in the photo frame.
void writeTipPictures(const QString& dir);
// app/resources/: the window background, the button pictures and the application icon, each
// also at 2x (name@2x.png) for screens at twice the scale.
void writeWindowPictures(const QString& dir);
// data/labels/*.png: the verdict labels the command line pastes under an annotated photo.
void writeVerdictLabels(const QString& dir);
