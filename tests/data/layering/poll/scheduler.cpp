#include <QLabel>
#include <QtWidgets/QWidget>
#include "station/station.h"
