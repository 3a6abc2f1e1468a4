"""On-device Pólya-Gamma sampling for JAX.

The sampling itself happens in the extension module ``vexol_cpp``, whose
handlers are registered with XLA as custom calls on the CPU platform.
"""
