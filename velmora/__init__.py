"""velmora: exact, multithreaded kernels for radar volumes and atmospheric fields."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("velmora")
except PackageNotFoundError:  # pragma: no cover - running from an uninstalled tree
    __version__ = "0.0.0+unknown"
