# Record fields of several model groups, worked out by hand from the
# "all-models" scenario: command c answers with reply code c, r[3] is the
# sub-command s and payload byte r[j] = j + s.
import pytest

import kavrol
from kavrol import Link, Record
from kavrol.testing import simulator_fixture

device = simulator_fixture(scope="module")


def w(lo: int, hi: int) -> int:
    return lo | hi << 8


def values(value):
    return value if isinstance(value, tuple) else (value,)


def pack(lo: int, hi: int) -> int:
    """Odd bits of r[j+1] (bits 7..4) and of r[j] (bits 3..0), bit 7 first."""
    bits = [(hi >> b) & 1 for b in (7, 5, 3, 1)] + [(lo >> b) & 1 for b in (7, 5, 3, 1)]
    return int("".join(map(str, bits)), 2)


CASES = [
    # model, command, sub, expected fields
    (2, 1, 0, dict(code1Word0=6, code1Word1=7, code1Word2=w(8, 9), code1Word3=w(10, 11), code1Word4=0, code1Word9=0)),
    (0, 1, 3, dict(code1Word0=9, code1Word1=10, code1Word2=w(11, 12), code1Word3=w(13, 14), code1Word4=0)),
    # r[6] = 11 = 0b1011; r[7] is not zero; nothing writes code2Word1..5.
    (2, 2, 5, dict(code2Word0=1, code2Bits=(1, 1, 0, 1, 0, 0, 0, 0), code2Word1=0, code2Word5=0)),
    # Byte 15 of code 5 comes from r[26], not r[25].
    (9, 5, 1, dict(code5Pair0=(w(9, 10), w(19, 20)), code5Pair1=(0, 0), code5Pair2=(w(11, 12), w(21, 22)),
                   code5Pair3=(w(15, 16), w(25, 27)), code5Pair4=(w(13, 14), w(23, 24)))),
    # The last value of code 6 arrives high byte first.
    (23, 6, 0, dict(code6Word0=6, code6Word1=7, code6Pair0=(13, 20), code6Pair1=(14, 21),
                    code6Pair2=(w(15, 16), w(22, 23)), code6Pair3=(12, 19), code6Pair4=(11, 18),
                    code6Pair5=(10, 17), code6Word2=w(9, 8))),
    # Model 23 spreads its code 3 payload over the record fields.
    (23, 3, 0, dict(code3Words=tuple(w(6 + 2 * i, 7 + 2 * i) for i in range(8)) + (0,) * 24,
                    code3Bytes=(22,) + (0,) * 24, code3QuadA=(23, 0, 0, 0), code3QuadB=(0,) * 4,
                    code3Words2=(w(24, 25), w(26, 27)) + (0,) * 6,
                    code3Longs=(0x1F1E1D1C, 0x23222120, 0x262524) + (0,) * 47)),
    (7, 1, 0, dict(code1Word0=6, code1Word1=7, **{f"code1Word{2 + k}": w(8 + 2 * k, 9 + 2 * k) for k in range(8)})),
    (7, 3, 0, dict(code3Words=tuple(w(6 + 2 * i, 7 + 2 * i) for i in range(24)) + (0,) * 8,
                   code3Bytes=tuple(pack(j, j + 1) for j in (78, 80, 82, 84)) + tuple(range(54, 75)),
                   code3QuadA=tuple(pack(j, j + 1) for j in (86, 88, 90, 92)), code3QuadB=(0,) * 4,
                   code3Words2=(102, 103, 104, 105, 0, 0, 0, 0),
                   code3QuadC=tuple(pack(j, j + 1) for j in (94, 96, 98, 100)), code3Longs=(0,) * 50)),
    # Model 1 has no normalization: the record comes from the (zeroed) buffer.
    (1, 6, 0, dict(code6Word0=0, code6Pair0=(0, 0), code6Word2=0)),
]


@pytest.mark.parametrize("model, command, sub, fields", CASES, ids=[f"model{c[0]}-code{c[1]}" for c in CASES])
def test_record_fields(device, model, command, sub, fields):
    with Link.open(device) as link:
        reply = link.query(model, command, sub=sub).raise_for_status()
    assert reply.reply_code == command
    assert {name: getattr(reply.record, name) for name in fields} == fields
    # The reply fills its own region only.
    others = [f.name for f in kavrol.record_fields() if f.reply_code != command]
    assert not any(any(values(reply.record[name])) for name in others)


def test_model_without_normalization_leaves_the_buffer(device):
    with Link.open(device) as link:
        reply = link.query(19, 1).raise_for_status()
    assert reply.buffer == bytes(317) and reply.record.raw == bytes(418)


def test_model_2_buffer_positions(device):
    with Link.open(device) as link:
        reply = link.query(2, 1).raise_for_status()
    assert reply.buffer == bytes([6, 0, 7, 0, 8, 9, 10, 11]) + bytes(309)


def test_field_table_matches_the_record_layout():
    fields = kavrol.record_fields()
    # Regions by reply code, without overlaps, within 418 bytes; gaps at 97, 118, 119.
    covered = sorted(b for f in fields for b in range(f.offset, f.offset + f.size * f.count))
    assert len(covered) == len(set(covered)) == 418 - 3
    assert set(range(418)) - set(covered) == {97, 118, 119}
    assert {f.reply_code for f in fields} == {1, 2, 3, 5, 6}
    assert all(f.offset % f.size == 0 for f in fields)
    assert kavrol.fields_of(4) == ()


def test_record_decoding():
    raw = bytearray(418)
    raw[320:322] = (513).to_bytes(2, "little")
    raw[120:124] = bytes([0x78, 0x56, 0x34, 0x12])
    raw[64:67] = b"\x01\x02\xff"
    record = Record(bytes(raw))
    assert record.code1Word0 == 513 and record.code3Longs[0] == 0x12345678
    assert record.code3Bytes[:3] == (1, 2, 255) and isinstance(record.code3Bytes, tuple)
    assert record.as_dict(1)["code1Word0"] == 513 and len(record.as_dict(1)) == 10
    with pytest.raises(AttributeError, match="no field 'code9Word0'"):
        record.code9Word0
    with pytest.raises(ValueError, match="418 bytes"):
        Record(bytes(417))
