"""One shared-memory block holding every unit's cu_config and the C_Backend,
each guarded by its own multiprocessing lock, so workers in other processes
can attach to the same records by name."""
import ctypes
import multiprocessing
from multiprocessing import shared_memory

from vantor.wire import C_BACKEND, CU_CONFIG, decode, CU_CONFIG_FIELDS

SLOT = 64  # one cu_config per slot; the C_Backend follows the last one


class SharedBlock:
    """Records laid out as slot i = unit of rank i + 1, then the C_Backend."""

    def __init__(self, count, *, name=None, locks=None, create=True, context=None):
        ctx = context or multiprocessing.get_context("spawn")
        self.count = count
        self.size = SLOT * (count + 1)
        self.owner = create
        self.shm = shared_memory.SharedMemory(name=name, create=create, size=self.size)
        # Worker processes started by multiprocessing share the creator's
        # resource tracker, so attaching registers nothing new; only the
        # creator unlinks.
        if locks is None:
            locks = [ctx.Lock() for _ in range(count)], ctx.Lock()
        self.config_locks, self.backend_lock = locks
        # Keeping one ctypes view alive pins the mapping; it is dropped before close().
        self._anchor = ctypes.c_char.from_buffer(self.shm.buf)
        self.base = ctypes.addressof(self._anchor)

    @property
    def name(self):
        return self.shm.name

    @property
    def locks(self):
        return self.config_locks, self.backend_lock

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

    def close(self):
        """Unmap; the creator also removes the block.  Everything holding one
        of its addresses must be gone before this runs."""
        if self.shm is None:
            return
        self._anchor = None
        self.shm.close()
        if self.owner:
            self.shm.unlink()
        self.shm = None
