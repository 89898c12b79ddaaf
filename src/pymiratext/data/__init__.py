"""Default segmenter data of pymiratext (see README.md in this folder).

The paths are given by ``pymiratext.default_paths()``.
"""
