"""Small but well-formed PE32+ images for the tool's tests: headers that
osslsigncode and Windows tools accept, optionally a version resource, and
filler bytes so that each image differs."""

import struct

FILE_ALIGNMENT = 0x200
SECTION_ALIGNMENT = 0x1000
HEADERS_SIZE = 0x400


def _align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def _utf16z(text):
    return text.encode("utf-16-le") + b"\0\0"


def _version_node(key, value=b"", children=(), text=False):
    """One VS_VERSIONINFO node: wLength, wValueLength, wType, key, value, children,
    each part starting on a 4-byte boundary."""
    body = bytearray(_utf16z(key))
    while (6 + len(body)) % 4:
        body += b"\0"
    body += value
    for child in children:
        while (6 + len(body)) % 4:
            body += b"\0"
        body += child
    value_length = len(value) // 2 if text else len(value)
    return struct.pack("<HHH", 6 + len(body), value_length, 1 if text else 0) + bytes(body)


def version_info(fixed_file="1.0.0.0", fixed_product=None, strings=None):
    """A VS_VERSIONINFO block: the fixed part's versions ("a.b.c.d") and the
    string table's values (a dict, by default FileVersion and ProductVersion
    "a.b.c" of the fixed version)."""
    fixed_product = fixed_product or fixed_file

    def words(version):
        a, b, c, d = (int(part) for part in version.split("."))
        return (a << 16) | b, (c << 16) | d

    fixed = struct.pack("<13I", 0xFEEF04BD, 0x00010000, *words(fixed_file), *words(fixed_product),
                        0x3F, 0, 0x40004, 1, 0, 0, 0)
    if strings is None:
        short = ".".join(fixed_product.split(".")[:3])
        strings = {"FileVersion": short, "ProductVersion": short}
    entries = [_version_node(key, _utf16z(value), text=True) for key, value in strings.items()]
    table = _version_node("040904b0", children=entries, text=True)
    string_file_info = _version_node("StringFileInfo", children=[table], text=True)
    var_file_info = _version_node("VarFileInfo", children=[
        _version_node("Translation", struct.pack("<HH", 0x0409, 1200))])
    return _version_node("VS_VERSION_INFO", fixed, [string_file_info, var_file_info])


def _resource_section(rva, version_block):
    """A resource tree with one entry: RT_VERSION / 1 / 0x0409."""
    def directory(entry_id, target):
        return struct.pack("<IIHHHH", 0, 0, 0, 0, 0, 1) + struct.pack("<II", entry_id, target)

    data_offset = 0x58
    tree = (directory(16, 0x80000000 | 0x18) + directory(1, 0x80000000 | 0x30) + directory(0x0409, 0x48) +
            struct.pack("<IIII", rva + data_offset, len(version_block), 0, 0))
    return tree.ljust(data_offset, b"\0") + version_block


def build_pe(size=8192, seed=0, version_block=None):
    """A PE32+ GUI image of about `size` bytes: a .text section of filler and,
    with `version_block`, a .rsrc section holding it."""
    text_raw = _align(max(size - HEADERS_SIZE, FILE_ALIGNMENT), FILE_ALIGNMENT)
    text = bytes((i * 31 + seed * 7 + 1) & 0xFF for i in range(text_raw))
    sections = [(b".text", SECTION_ALIGNMENT, text, 0x60000020)]
    resource_rva = None
    if version_block is not None:
        resource_rva = _align(SECTION_ALIGNMENT + text_raw, SECTION_ALIGNMENT)
        rsrc = _resource_section(resource_rva, version_block)
        sections.append((b".rsrc", resource_rva, rsrc.ljust(_align(len(rsrc), FILE_ALIGNMENT), b"\0"), 0x40000040))

    pe_offset = 0x80
    optional_size = 240
    dos = bytearray(pe_offset)
    dos[0:2] = b"MZ"
    dos[0x3C:0x40] = struct.pack("<I", pe_offset)
    coff = struct.pack("<HHIIIHH", 0x8664, len(sections), 0, 0, 0, optional_size, 0x22)

    _, last_rva, last_data, _ = sections[-1]
    image_size = _align(last_rva + len(last_data), SECTION_ALIGNMENT)
    directories = [(0, 0)] * 16
    if resource_rva is not None:
        directories[2] = (resource_rva, len(sections[-1][2]))
    optional = struct.pack("<HBBIIIII", 0x20B, 2, 40, len(text), 0, 0, SECTION_ALIGNMENT, SECTION_ALIGNMENT)
    optional += struct.pack("<QII", 0x140000000, SECTION_ALIGNMENT, FILE_ALIGNMENT)
    optional += struct.pack("<HHHHHHI", 6, 0, 1, 0, 6, 0, 0)
    optional += struct.pack("<IIIHH", image_size, HEADERS_SIZE, 0, 2, 0x8160)
    optional += struct.pack("<QQQQII", 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    assert len(optional) == optional_size

    table = b""
    raw = HEADERS_SIZE
    for name, rva, data, flags in sections:
        table += struct.pack("<8sIIIIIIHHI", name, len(data), rva, len(data), raw, 0, 0, 0, 0, flags)
        raw += len(data)
    headers = (bytes(dos) + b"PE\0\0" + coff + optional + table).ljust(HEADERS_SIZE, b"\0")
    return headers + b"".join(data for _, _, data, _ in sections)


def write_pe(path, **options):
    data = build_pe(**options)
    with open(path, "wb") as f:
        f.write(data)
    return data
