"""The DER of a signature, walked and rewritten byte by byte: whether bytes
are one ASN.1 element of definite lengths throughout, the elements inside
one, and a signature with its SignerInfo's unsigned attributes replaced, or
its nested signatures cut out. asn1crypto can take minutes over some
indefinite lengths, and to write out again a signature holding a timestamp
token: it is given only what passes here, and writes no signature."""
from asn1crypto import core

DEPTH = 32  # ASN.1 nesting that no signature comes near
_NESTED_OID = "1.3.6.1.4.1.311.2.4.1"  # a signature nested in another


def element_at(octets, at, end):
    """(start of contents, end of contents) of the BER element at `at`, or a
    str: why it is not one of definite length within `end`."""
    tag = octets[at]
    at += 1
    if tag & 0x1F == 0x1F:  # a tag number in further bytes
        while at < end and octets[at] & 0x80:
            at += 1
        at += 1
    if at >= end:
        return "an element is cut short"
    length = octets[at]
    at += 1
    if length == 0x80:
        return f"it uses an indefinite length (BER) at byte {at - 1}, where DER is required"
    if length & 0x80:
        count = length & 0x7F
        if count > 4 or at + count > end:
            return f"a length at byte {at - 1} is out of range"
        length = int.from_bytes(octets[at:at + count], "big")
        at += count
    if at + length > end:
        return f"an element at byte {at} runs {byte_count(at + length - end)} past its end"
    return at, at + length


def der_problem(octets):
    """Why octets are not one ASN.1 element of definite lengths throughout,
    every constructed element exactly filled by its children, or None. A
    plain walk, linear in the size: asn1crypto takes minutes over some
    indefinite lengths, so it gets only what passes here."""
    if not octets:
        return "it is empty"
    spans = [(0, len(octets), 0)]
    while spans:
        at, end, depth = spans.pop()
        if depth > DEPTH:
            return f"it nests deeper than {DEPTH} levels"
        while at < end:
            element = element_at(octets, at, end)
            if isinstance(element, str):
                return element
            if octets[at] & 0x20:  # constructed: its contents are elements too
                spans.append((*element, depth + 1))
            at = element[1]
            if depth == 0 and at != len(octets):
                return f"{byte_count(len(octets) - at)} follow it"
    return None


def byte_count(count):
    return "1 byte" if count == 1 else f"{count:,} bytes"


def children_of(octets):
    """The elements inside one DER element that der_problem() has passed."""
    at, end = element_at(octets, 0, len(octets))
    found = []
    while at < end:
        stop = element_at(octets, at, end)[1]
        found.append(octets[at:stop])
        at = stop
    return found


def tlv(tag, contents):
    """One DER element of a one-byte tag."""
    size = len(contents)
    length = bytes([size]) if size < 0x80 else (
        bytes([0x80 | (size.bit_length() + 7) // 8]) + size.to_bytes((size.bit_length() + 7) // 8,
                                                                      "big"))
    return bytes([tag]) + length + contents


def replaced(octets, path, new):
    """One DER element with the element at path (indices of children, -1 the
    last) inside it replaced by new."""
    if not path:
        return new
    children = children_of(octets)
    children[path[0]] = replaced(children[path[0]], path[1:], new)
    return tlv(octets[0], b"".join(children))


_SIGNER_INFO = [1, 0, -1, 0]  # ContentInfo, [0], SignedData, its SignerInfos, the one SignerInfo


def with_unsigned(pkcs7, attributes):
    """The DER of a signature with its SignerInfo's unsigned attributes
    replaced by these (each an attribute's DER; none: the field left out).
    Written byte by byte: asn1crypto can take minutes to write out again a
    signature holding a timestamp token."""
    signer = pkcs7
    for index in _SIGNER_INFO:
        signer = children_of(signer)[index]
    fields = children_of(signer)
    fields = fields[:-1] if fields[-1][0] == 0xA1 else fields  # [1] unsignedAttrs
    fields += [tlv(0xA1, b"".join(attributes))] if attributes else []
    return replaced(pkcs7, _SIGNER_INFO, tlv(0x30, b"".join(fields)))


def without_nested(pkcs7):
    """The PKCS#7 of a signature without the signatures nested in it."""
    signer = pkcs7
    for index in _SIGNER_INFO:
        signer = children_of(signer)[index]
    unsigned = children_of(signer)[-1]
    if unsigned[0] != 0xA1:
        return pkcs7
    attributes = children_of(unsigned)
    kept = [a for a in attributes if children_of(a)[0] != core.ObjectIdentifier(_NESTED_OID).dump()]
    return pkcs7 if len(kept) == len(attributes) else with_unsigned(pkcs7, kept)
