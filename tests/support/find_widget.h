#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QString>

namespace terval::testing {

// The child of `root` (a widget, a timer) of that object name and type, as an operator's tools and
// the tests know the controls: by name, not by a member of the window. A missing one fails the
// test where it was asked for and gives null.
template <class W>
W* findWidget(QObject* root, const char* name) {
    W* found = root ? root->findChild<W*>(QString::fromLatin1(name)) : nullptr;
    if (!found) {
        ADD_FAILURE() << "no " << name << " of the asked type under "
                      << (root ? root->objectName().toStdString() : std::string("null"));
    }
    return found;
}

}  // namespace terval::testing
