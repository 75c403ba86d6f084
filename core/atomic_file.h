#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

/// Replaces the file @p path as a whole with @p bytes: they go to a new
/// temporary file beside it (".<name>.tmp", made with O_EXCL and
/// O_NOFOLLOW, so a symlink or FIFO planted at that name is never opened;
/// what a crash left there is removed first), which is then renamed over
/// the target, so a reader sees either the old file or the new one. With
/// @p sync the data and the directory entry reach the disk before this
/// returns. 0 on success, else the errno of the step that failed.
int replaceFileAtomically(const QString& path, const QByteArray& bytes, mode_t mode, bool sync);
