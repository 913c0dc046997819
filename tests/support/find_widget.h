#pragma once

#include <gtest/gtest.h>

#include <QObject>
#include <QString>

namespace terval::testing {

// The child of `root` (at any depth) of type W named `name`, as a window names its controls; a
// missing one fails the test, which says which one it looked for.
template <class W>
W* findWidget(QObject* root, const char* name) {
    W* found = root != nullptr ? root->findChild<W*>(QString::fromLatin1(name)) : nullptr;
    if (found == nullptr) {
        ADD_FAILURE() << "no " << W::staticMetaObject.className() << " named " << name << " in "
                      << (root != nullptr ? qPrintable(root->objectName()) : "nothing");
    }
    return found;
}

}  // namespace terval::testing
