"""A simulator that runs in a thread of its own, and the CLIs' stop signals."""

import signal
import threading


class BackgroundWorker:
    """start() opens (_open) and runs _run() in a daemon thread; stop() sets
    _stop, joins, and closes (_close). Also a context manager."""

    thread_name = "bench-worker"

    def __init__(self):
        self._stop = threading.Event()
        self._thread = None

    def _open(self):
        pass

    def _run(self):
        raise NotImplementedError

    def _close(self):
        pass

    def start(self):
        self._open()
        self._thread = threading.Thread(target=self._run, name=self.thread_name,
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stop.set()
        if self._thread:
            self._thread.join()
            self._thread = None
        self._close()

    @property
    def finished(self):
        """True once the thread has ended (or was never started)."""
        return self._thread is None or not self._thread.is_alive()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def stop_on_signals():
    """An event that SIGINT or SIGTERM sets: the CLIs install it before they
    announce themselves, so that a quick kill still ends them cleanly."""
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    return done
