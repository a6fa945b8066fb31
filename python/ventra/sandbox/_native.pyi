# Type stub of the native extension module ventra.sandbox._native.
