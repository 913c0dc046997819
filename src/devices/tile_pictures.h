#pragma once

#include <QDir>
#include <QStringList>

namespace terval {

// The pictures a working folder needs for its tiles.
QStringList tilePictureNames();

// Where the station finds the pictures it brings along, best first: the installation's own folder
// beside the program (<bin>/../share/terval/pictures), then the source tree's assets, for a
// station run from the folder it was built in.
QStringList installedTilePictureFolders();

// Copies into `folder` each tile picture it lacks, from the first of `sources` that holds it. A
// picture already in the folder is never replaced, whatever it looks like: it may be the plant's
// own drawing. Returns what the operator must be told about copies that failed, one message for
// the pictures that failed for the same reason; a picture no source holds is left to the window's
// own "not found" message.
QStringList provideTilePictures(const QDir& folder, const QStringList& sources);

}  // namespace terval
