#pragma once

#include <QString>

#include "devices/device_table.h"

namespace terval {

// The entry a newly added relay n starts with: generated names and address n, nothing else set.
// The names are not checked against the other relays; the operator edits them afterwards.
DeviceEntry newDeviceEntry(int n);

enum class DeviceEditCheck {
    Unchanged,     // nothing to store
    NameTaken,     // another relay has this generator name
    BreakerTaken,  // another relay has this breaker name
    AddressTaken,  // another relay has this address
    Accepted,
};

// Judges an edit of relay `selected`: names are compared exactly (letter case counts) after the
// blanks around them are removed, in the form they would be stored in.
struct DeviceEdit {
    QString name;
    QString breaker;
    int address = 1;
};
DeviceEdit normalizedEdit(const DeviceEdit& typed);
DeviceEditCheck checkDeviceEdit(const DeviceTable& table, int selected, const DeviceEdit& edit);

QString deviceEditMessage(DeviceEditCheck check);

// What the device dialog needs of the station: the table to show, and its edit applied by the
// main window's rules (stored, saved, the tile's names shown, or the refusal told).
class DeviceEditing {
  public:
    virtual ~DeviceEditing() = default;
    virtual const DeviceTable& devices() const = 0;
    virtual DeviceEditCheck applyDeviceEdit(const DeviceEdit& edit) = 0;
};

}  // namespace terval
