#pragma once

#include <QObject>
#include <QString>
#include <stdexcept>
#include <string>

namespace terval::testing {

// The control of `parent` named `name`, found the way the windows name their controls (objectName).
// A window without it fails the test with the name instead of crashing on a null pointer. Direct
// children are looked at before the windows inside: a secondary window may reuse a name.
template <typename T>
T* child(const QObject* parent, const QString& name) {
    T* found = parent->findChild<T*>(name, Qt::FindDirectChildrenOnly);
    if (found == nullptr) {
        found = parent->findChild<T*>(name);
    }
    if (found == nullptr) {
        throw std::runtime_error("no control named " + name.toStdString());
    }
    return found;
}

template <typename T>
T* child(const QObject* parent, const char* name) {
    return child<T>(parent, QString::fromLatin1(name));
}

}  // namespace terval::testing
