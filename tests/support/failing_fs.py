#!/usr/bin/env python3
"""A FUSE file system that passes everything through to a directory and can fail like a
card that goes bad or is pulled out: while the file CONTROL.sync exists, syncs fail with EIO;
while CONTROL.gone exists, every write, sync and file creation fails with EIO as well. It can
also be slow like a worn or cheap SD card: while CONTROL.slow holds a number of seconds, every
sync takes that long; CONTROL.stall makes the next sync take its number of seconds, once.

Usage: failing_fs.py BACKING_DIR MOUNT_POINT CONTROL   (stays in the foreground)
"""
import errno
import os
import sys
import time

try:
    from fuse import FUSE, FuseOSError, Operations
except ImportError:  # Debian names the module after its package
    from fusepy import FUSE, FuseOSError, Operations


class FailingFs(Operations):
    def __init__(self, root, control):
        self.root = root
        self.control = control

    def _path(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def _fail_if(self, *states):
        if any(os.path.exists(self.control + "." + s) for s in states):
            raise FuseOSError(errno.EIO)

    def _seconds_in(self, state):
        try:
            with open(self.control + "." + state) as f:
                return float(f.read() or 0)
        except (OSError, ValueError):
            return 0.0

    def _take_time(self):
        stall = self._seconds_in("stall")
        if stall > 0:
            os.unlink(self.control + ".stall")
        time.sleep(max(stall, self._seconds_in("slow")))

    # Reading and listing always work.
    def getattr(self, path, fh=None):
        st = os.lstat(self._path(path))
        keys = ("st_mode", "st_nlink", "st_uid", "st_gid", "st_size", "st_atime", "st_mtime",
                "st_ctime")
        return {k: getattr(st, k) for k in keys}

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self._path(path))

    def statfs(self, path):
        st = os.statvfs(self._path(path))
        keys = ("f_bsize", "f_frsize", "f_blocks", "f_bfree", "f_bavail", "f_files", "f_ffree",
                "f_favail", "f_flag", "f_namemax")
        return {k: getattr(st, k) for k in keys}

    def open(self, path, flags):
        if flags & (os.O_WRONLY | os.O_RDWR):
            self._fail_if("gone")
        return os.open(self._path(path), flags)

    def create(self, path, mode, fi=None):
        self._fail_if("gone")
        return os.open(self._path(path), os.O_RDWR | os.O_CREAT | os.O_TRUNC, mode)

    def read(self, path, size, offset, fh):
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        self._fail_if("gone")
        return os.pwrite(fh, data, offset)

    def truncate(self, path, length, fh=None):
        self._fail_if("gone")
        with open(self._path(path), "r+b") as f:
            f.truncate(length)

    def fsync(self, path, datasync, fh):
        self._fail_if("sync", "gone")
        self._take_time()
        os.fsync(fh)

    def fsyncdir(self, path, datasync, fh):
        self._fail_if("sync", "gone")
        self._take_time()

    def flush(self, path, fh):
        return 0

    def release(self, path, fh):
        os.close(fh)

    def unlink(self, path):
        os.unlink(self._path(path))

    def chmod(self, path, mode):
        os.chmod(self._path(path), mode)

    def utimens(self, path, times=None):
        os.utime(self._path(path), times)


if __name__ == "__main__":
    backing, mount_point, control = sys.argv[1:4]
    FUSE(FailingFs(backing, control), mount_point, foreground=True, nothreads=True)
