/* Benchmark shim, loaded with LD_PRELOAD into mirvo: fsync and fdatasync return at once
 * without touching the storage, so that a run measures what the recorder costs without its
 * syncs. Never installed, never used outside bench/. */
int fsync(int fd)
{
    (void)fd;
    return 0;
}

int fdatasync(int fd)
{
    (void)fd;
    return 0;
}
