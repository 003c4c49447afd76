"""A built x86-64 Windows program as pefile reads it, checked to be whole
(every section and the signature within the file), and where its file holds
a byte that the program sees when it runs."""
import pefile

_AMD64 = 0x8664
_SECURITY = 4  # data directory of the Authenticode signature (a file offset)


def read_program(data):
    """Parses a complete x86-64 Windows program: (pe, None), or (None, reason)."""
    if not data:
        return None, "not a Windows program: the file is empty"
    if data[:2] != b"MZ":
        return None, "not a Windows program: it does not begin with MZ"
    try:
        pe = pefile.PE(data=data)
    except pefile.PEFormatError as error:
        return None, f"not a Windows program: {str(error.value).rstrip('.')}"
    if pe.FILE_HEADER.Machine != _AMD64 or not pe.sections:
        return None, "not a setup program: it is no x86-64 Windows program"
    needed = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if len(directories) > _SECURITY and directories[_SECURITY].Size:
        needed = max(needed, directories[_SECURITY].VirtualAddress + directories[_SECURITY].Size)
    if needed > len(data):
        return None, f"truncated: the file has {len(data):,} bytes, its parts reach to {needed:,}"
    return pe, None


def mapped(section):
    """The bytes of a section that the file holds and the program sees."""
    return min(section.SizeOfRawData, section.Misc_VirtualSize or section.SizeOfRawData)


def place(pe, rva):
    """(section, file offset) of the byte at `rva` when the file holds it, else None."""
    for section in pe.sections:
        offset = rva - section.VirtualAddress
        if 0 <= offset < mapped(section):
            return section, section.PointerToRawData + offset
    return None
