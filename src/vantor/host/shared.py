"""One shared-memory block holding every unit's cu_config, the C_Backend and
the lock of each, so workers in other processes attach to the same records
and locks by the block's name alone.

The locks live in the block (vantor.host.road.ShmLock: a robust,
process-shared mutex per 64-byte slot), not in the operating system's
semaphores: a host that is killed leaves nothing but the block, which the
next start removes (lifeline.py), and a lock whose owner died is taken over
and counted instead of hanging everybody else."""
import ctypes
from multiprocessing import shared_memory

from vantor.wire import C_BACKEND, CU_CONFIG, CU_CONFIG_FIELDS, decode
from .road import ShmLock

SLOT = 64  # one cu_config per slot; the C_Backend follows the last one, then the locks
LOCK_TIMEOUT = 5.0   # seconds a record's lock may stay taken before its user is told


class SharedBlock:
    """Records laid out as slot i = unit of rank i + 1, then the C_Backend,
    then one lock slot per record in the same order."""

    def __init__(self, count, *, name=None, create=True):
        self.count = count
        self.size = 2 * SLOT * (count + 1)
        self.owner = create
        self.shm = shared_memory.SharedMemory(name=name, create=create, size=self.size)
        # Worker processes started by multiprocessing share the creator's
        # resource tracker, so attaching registers nothing new; only the
        # creator unlinks.  Keeping one ctypes view alive pins the mapping; it
        # is dropped before close().
        self._anchor = ctypes.c_char.from_buffer(self.shm.buf)
        self.base = ctypes.addressof(self._anchor)
        locks = self.base + SLOT * (count + 1)
        if create:
            for k in range(count + 1):
                ShmLock.initialize(locks + SLOT * k)
        self.config_locks = [ShmLock(locks + SLOT * k, f"unit {k + 1}", LOCK_TIMEOUT)
                             for k in range(count)]
        self.backend_lock = ShmLock(locks + SLOT * count, "the C_Backend", LOCK_TIMEOUT)

    @property
    def name(self):
        return self.shm.name

    def config_pair(self, index):
        return (self.base + SLOT * index, self.config_locks[index])

    def backend_pair(self):
        return (self.base + SLOT * self.count, self.backend_lock)

    def write_config(self, index, configuration):
        with self.config_locks[index]:
            self.shm.buf[SLOT * index:SLOT * index + CU_CONFIG.size] = configuration.to_bytes()

    def read_config(self, index):
        with self.config_locks[index]:
            return decode(CU_CONFIG, CU_CONFIG_FIELDS, self.shm.buf[SLOT * index:SLOT * index + SLOT])

    def write_buff_size(self, buff_size):
        with self.backend_lock:
            _, stamp = C_BACKEND.unpack_from(self.shm.buf, SLOT * self.count)
            C_BACKEND.pack_into(self.shm.buf, SLOT * self.count, buff_size, stamp)

    def read_backend(self):
        with self.backend_lock:
            buff, stamp = C_BACKEND.unpack_from(self.shm.buf, SLOT * self.count)
        return {"buffSize": buff, "TIMESTAMP": stamp}

    def lock_owner_deaths(self):
        """Owners that died holding one of the block's locks, over its life."""
        return sum(lock.owner_deaths for lock in (*self.config_locks, self.backend_lock))

    def close(self):
        """Unmap; the creator also removes the block.  Everything holding one
        of its addresses (workers, locks) must be gone before this runs."""
        if self.shm is None:
            return
        self.config_locks, self.backend_lock = [], None
        self._anchor = None
        self.shm.close()
        if self.owner:
            self.shm.unlink()
        self.shm = None
