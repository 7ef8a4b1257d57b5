# Type information for the extension module cellvault. The module is a
# single compiled file; these stubs live in a folder of their own because
# type checkers read a package's py.typed marker, which a lone module
# cannot carry.

__all__ = ["encrypt_excelfile"]

def encrypt_excelfile(from_path: str, to_path: str, password: str) -> None:
    """Encrypt the workbook at from_path with password and write it to to_path.

    The three arguments must be str (not bytes or path objects); they may be
    given by keyword. The output is a version 4 compound file, written
    atomically. A failure of the work itself (an unreadable source, an
    unwritable destination) raises pyo3_runtime.PanicException, which
    derives from BaseException, not Exception.
    """
