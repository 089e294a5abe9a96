"""Radar sweep kernels of velmora (multithreaded)."""
