#!/usr/bin/env bash
# Builds the reference disk of the backup comparison: a 1 GiB MBR disk image with one ext4
# partition, about 60% used by a mix of prose, C source code, fixed-size binary records, random
# (incompressible) data and many small files.
#
# usage: make_reference_disk.sh OUT.img            make the disk (replaces OUT.img)
#        make_reference_disk.sh --change OUT.img   change about 5% of its files in place:
#                                                  rewrite some with new content, delete a few,
#                                                  add a few (apply once, to a freshly made disk)
#
# Every file's content comes from a seeded generator, so every run on every machine produces the
# same file contents. The file system itself is made with a fixed UUID, hash seed, time stamps and
# feature set (our own mke2fs.conf), so on one machine the image bytes repeat as well.
# Nothing is mounted and no root is needed.
# Needs: python3 (3.6+), sfdisk, mkfs.ext4 and debugfs (e2fsprogs), e2fsck.
set -euo pipefail

usage() { echo "usage: make_reference_disk.sh [--change] OUT.img" >&2; exit 2; }
mode="make"
if [[ ${1:-} == --change ]]; then mode=change; shift; fi
out=${1:-}
[[ -n $out && $# -eq 1 ]] || usage
for tool in python3 sfdisk mkfs.ext4 debugfs e2fsck; do
  command -v "$tool" >/dev/null || { echo "make_reference_disk: $tool is missing" >&2; exit 3; }
done

# Layout in 512-byte sectors: one Linux partition from 1 MiB to the end of a 1 GiB disk.
part_start=2048
total_sectors=2097152
part_sectors=$((total_sectors - part_start))
part_offset=$((part_start * 512))
fs_uuid=5eb1a2c4-0b7e-4c61-9d3a-7a1c0de0b001
hash_seed=5eb1a2c4-0b7e-4c61-9d3a-7a1c0de0b002
epoch=1700000000   # 2023-11-14 22:13:20 UTC: every time stamp the tools let us fix

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The content generator. "tree DIR" writes the files; "change DIR" writes the new and rewritten
# files of the change into DIR and prints the debugfs commands that apply it.
# Each file's bytes come from its own generator seeded with (seed, path), so a file's content
# never depends on the order in which files are made.
cat >"$work/gen.py" <<'PYEOF'
import os, random, struct, sys

SEED = "tav-reference-disk-1"
EPOCH = int(os.environ.get("REF_EPOCH", "1700000000"))

def rng(*parts):
    return random.Random(":".join([SEED] + [str(p) for p in parts]))

def pick(r, seq):
    return seq[int(r.random() * len(seq))]

def rand_bytes(r, n):
    return r.getrandbits(n * 8).to_bytes(n, "little") if n else b""

# --- vocabulary: syllable words with a Zipf-like frequency, as in natural prose ---------------
_SYL = ["ka", "lo", "mi", "ten", "ra", "vo", "sil", "den", "pa", "ru", "ne", "tor", "ma", "li",
        "ost", "ber", "che", "und", "fa", "gi", "han", "je", "kel", "mun", "pre", "sta", "tri",
        "vel", "wor", "yan", "zo", "ent", "ing", "ous", "al", "er", "an", "is", "on", "ed"]
_vr = rng("vocabulary")
WORDS = []
_seen = set()
while len(WORDS) < 6000:
    w = "".join(pick(_vr, _SYL) for _ in range(1 + int(_vr.random() * 3.2)))
    if w not in _seen:
        _seen.add(w)
        WORDS.append(w)
_cum = []
_t = 0.0
for i in range(len(WORDS)):
    _t += 1.0 / (i + 2.7)
    _cum.append(_t)
_TOTAL = _t
import bisect as _bisect

def word(r):
    return WORDS[_bisect.bisect(_cum, r.random() * _TOTAL)]

# Phrases of 2-7 words: prose is assembled from them, which keeps the generator fast while
# the local statistics stay those of words.
_pr = rng("phrases")
PHRASES = [" ".join(word(_pr) for _ in range(2 + int(_pr.random() * 6))) for _ in range(120000)]

def prose(r, size):
    out = []
    n = 0
    while n < size:
        sentence = []
        for _ in range(1 + int(r.random() * 4)):
            sentence.append(pick(r, PHRASES))
        s = " ".join(sentence)
        s = s[0].upper() + s[1:] + pick(r, [". ", ". ", ". ", "? ", ", and ", "; "])
        if r.random() < 0.12:
            s += "\n\n"
        out.append(s)
        n += len(s)
    return "".join(out).encode()[:size]

# --- C-like source code ---------------------------------------------------------------------
_TYPES = ["int", "unsigned", "size_t", "uint32_t", "uint64_t", "const char*", "bool", "double",
          "struct node*", "void*"]
_ir = rng("identifiers")
IDENTS = ["_".join(word(_ir) for _ in range(1 + int(_ir.random() * 3))) for _ in range(8000)]

def c_function(r):
    name = pick(r, IDENTS)
    args = ", ".join("%s %s" % (pick(r, _TYPES), pick(r, IDENTS))
                     for _ in range(int(r.random() * 4)))
    lines = ["/* %s */" % " ".join(word(r) for _ in range(4 + int(r.random() * 10))),
             "static %s %s(%s)" % (pick(r, _TYPES), name, args or "void"), "{"]
    for _ in range(3 + int(r.random() * 14)):
        kind = r.random()
        a, b, c = pick(r, IDENTS), pick(r, IDENTS), pick(r, IDENTS)
        if kind < 0.3:
            lines.append("    %s %s = %s(%s, %d);"
                         % (pick(r, _TYPES), a, b, c, int(r.random() * 4096)))
        elif kind < 0.5:
            lines.append("    if (%s > %d) {" % (a, int(r.random() * 100)))
            lines.append("        return %s;" % b)
            lines.append("    }")
        elif kind < 0.65:
            lines.append("    for (size_t i = 0; i < %s; ++i)" % a)
            lines.append("        %s[i] += %s;" % (b, c))
        elif kind < 0.8:
            lines.append("    %s->%s = %s;" % (a, b, c))
        else:
            lines.append("    %s(%s, \"%s\");" % (a, b, " ".join(word(r) for _ in range(3))))
    lines.append("    return 0;")
    lines.append("}")
    lines.append("")
    return "\n".join(lines) + "\n"

def source(r, size):
    out = ["#include <stdint.h>\n#include <stddef.h>\n#include \"%s.h\"\n\n" % pick(r, IDENTS)]
    n = len(out[0])
    while n < size:
        f = c_function(r)
        out.append(f)
        n += len(f)
    return "".join(out).encode()[:size]

# --- fixed-size binary records: counters, small integers, names, a random key --------------
def records(r, size):
    rec = struct.Struct("<QIHH16sd24s")  # 64 bytes
    out = bytearray()
    t = EPOCH - int(r.random() * 10000000)
    i = 0
    while len(out) < size:
        t += int(r.random() * 30)
        name = pick(r, WORDS).encode()[:24].ljust(24, b"\0")
        out += rec.pack(i, t & 0xFFFFFFFF, int(r.random() * 12), int(r.random() * 400),
                        rand_bytes(r, 16), round(r.random() * 1000, 2), name)
        i += 1
    return bytes(out[:size])

def small_file(r, size):
    k = r.random()
    if k < 0.4:
        return prose(r, size)
    if k < 0.65:
        lines = []
        n = 0
        while n < size:
            key = pick(r, IDENTS)
            value = pick(r, [str(int(r.random() * 1e6)), pick(r, WORDS), "true", "false"])
            s = "%s = %s\n" % (key, value)
            lines.append(s)
            n += len(s)
        return "".join(lines).encode()[:size]
    if k < 0.85:
        return source(r, size)
    return rand_bytes(r, size)

MAKERS = {"prose": prose, "source": source, "records": records, "random": rand_bytes,
          "small": small_file}

# --- the tree: paths, kinds and sizes, from its own generator -----------------------------
MiB = 1 << 20

def plan():
    r = rng("plan")
    files = []
    def sized(lo, hi):
        return int(lo + r.random() * (hi - lo))
    total = 0
    i = 0
    while total < 150 * MiB:                       # media: random data, 1-12 MiB
        s = sized(1 * MiB, 12 * MiB)
        files.append(("media/set%02d/clip%04d.bin" % (i // 8, i), "random", s)); total += s; i += 1
    total = 0; i = 0
    while total < 170 * MiB:                       # documents: prose, 16 KiB - 3 MiB
        s = sized(16 << 10, 3 * MiB) if r.random() < 0.5 else sized(16 << 10, 256 << 10)
        files.append(("docs/%s/%s_%04d.txt" % (IDENTS[i // 40], pick(r, WORDS), i), "prose", s))
        total += s; i += 1
    total = 0; i = 0
    while total < 120 * MiB:                       # source tree: 1-80 KiB files
        s = sized(1 << 10, 80 << 10)
        files.append(("src/%s/%s/%s_%05d.c" % (IDENTS[100 + i // 300], IDENTS[200 + i // 30],
                      pick(r, IDENTS), i), "source", s))
        total += s; i += 1
    total = 0; i = 0
    while total < 40 * MiB:                        # databases: 64-byte records, 1-8 MiB
        s = sized(1 * MiB, 8 * MiB) // 64 * 64
        files.append(("var/db/table%03d.dat" % i, "records", s)); total += s; i += 1
    for i in range(24000):                         # many small files: 64 B - 5 KiB
        s = sized(64, 5 << 10)
        files.append(("home/%s/%s/%s_%05d.%s" % (IDENTS[300 + i // 1200], IDENTS[400 + i // 60],
                      pick(r, WORDS), i, pick(r, ["txt", "cfg", "c", "dat"])), "small", s))
    return files

def content(path, kind, size, version=0):
    r = rng("content", path, version)
    return MAKERS[kind](r, size)

def write_file(root, path, data):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data)

def fix_times(root):
    for dirpath, dirnames, filenames in os.walk(root, topdown=False):
        for n in filenames:
            os.utime(os.path.join(dirpath, n), (EPOCH, EPOCH))
        os.utime(dirpath, (EPOCH, EPOCH))

def make_tree(root):
    total = 0
    files = plan()
    for path, kind, size in files:
        write_file(root, path, content(path, kind, size))
        total += size
    fix_times(root)
    # mke2fs copies each inode's change time from the file it reads, which no one can set, and
    # its access time, which reading the tree moves: list every path so that the script resets
    # both afterwards.
    with open(root + ".paths", "w") as f:
        for dirpath, dirnames, filenames in os.walk(root):
            rel = os.path.relpath(dirpath, root)
            if rel != ".":
                f.write("/" + rel + "\n")
            for n in filenames:
                f.write("/" + (n if rel == "." else rel + "/" + n) + "\n")
    sys.stderr.write("make_reference_disk: %d files, %.1f MiB of content\n"
                     % (len(files), total / MiB))

def make_change(root):
    # About 5% of the files change: 4% rewritten with new content (sizes grow or shrink by up
    # to a quarter), 0.5% deleted, and 0.5% as many new files added.
    files = plan()
    r = rng("change", 1)
    order = list(range(len(files)))
    r.shuffle(order)
    n = len(files)
    rewrite = sorted(order[: n * 4 // 100])
    delete = sorted(order[n * 4 // 100: n * 45 // 1000])
    add = n * 5 // 1000
    cmds = []
    changed_bytes = 0
    for j, idx in enumerate(rewrite):
        path, kind, size = files[idx]
        size = max(64, int(size * (0.75 + r.random() * 0.5)))
        local = "rw/%06d" % j
        write_file(root, local, content(path, kind, size, version=1))
        d, name = os.path.split(path)
        cmds += ["cd /%s" % d, "rm %s" % name, "write %s %s" % (os.path.join(root, local), name)]
        changed_bytes += size
    for idx in delete:
        cmds.append("rm /%s" % files[idx][0])
    for j in range(add):
        src = files[order[-1 - j]]
        d = os.path.dirname(src[0])
        name = "added_%05d.%s" % (j, "bin" if src[1] == "random" else "txt")
        size = max(64, int(src[2] * (0.5 + r.random())))
        local = "add/%06d" % j
        write_file(root, local, content(d + "/" + name, src[1], size, version=1))
        cmds += ["cd /%s" % d, "write %s %s" % (os.path.join(root, local), name)]
        changed_bytes += size
    sys.stdout.write("\n".join(cmds) + "\n")
    sys.stderr.write("make_reference_disk: change rewrites %d files, deletes %d, adds %d"
                     " (%.1f MiB new content)\n"
                     % (len(rewrite), len(delete), add, changed_bytes / MiB))

if __name__ == "__main__":
    if sys.argv[1] == "tree":
        make_tree(sys.argv[2])
    else:
        make_change(sys.argv[2])
PYEOF

export E2FSPROGS_FAKE_TIME=$epoch SOURCE_DATE_EPOCH=$epoch REF_EPOCH=$epoch TZ=UTC

if [[ $mode == change ]]; then
  [[ -f $out ]] || { echo "make_reference_disk: $out does not exist" >&2; exit 2; }
  python3 "$work/gen.py" change "$work/change" >"$work/debugfs.cmds"
  # debugfs opens the partition inside the disk image through the io option "offset".
  debugfs -w -f "$work/debugfs.cmds" "$out?offset=$part_offset" >"$work/debugfs.log" 2>&1
  if grep -qiE 'error|not found|could not|failed' "$work/debugfs.log"; then
    grep -iE 'error|not found|could not|failed' "$work/debugfs.log" | head -5 >&2
    echo "make_reference_disk: debugfs reported errors" >&2
    exit 1
  fi
  # A forced check proves the change left a consistent file system (it refreshes the
  # superblock's summary counts when they lag; anything worse is reported as a failure).
  set +e
  e2fsck -fy "$out?offset=$part_offset" >"$work/fsck.log" 2>&1
  rc=$?
  set -e
  if (( rc > 1 )); then
    cat "$work/fsck.log" >&2
    echo "make_reference_disk: e2fsck found damage after the change (exit $rc)" >&2
    exit 1
  fi
  echo "$out"
  exit 0
fi

python3 "$work/gen.py" tree "$work/files"

# Our own mke2fs.conf, so the feature set does not follow the machine's defaults.
cat >"$work/mke2fs.conf" <<'CONF'
[defaults]
	base_features = sparse_super,large_file,filetype,resize_inode,dir_index,ext_attr
	blocksize = 4096
	inode_size = 256
	inode_ratio = 16384
[fs_types]
	ext4 = {
		features = has_journal,extent,huge_file,flex_bg,metadata_csum,64bit,dir_nlink,extra_isize
	}
CONF

rm -f "$out"
truncate -s $((total_sectors * 512)) "$out"
sfdisk --quiet "$out" <<SFDISK
label: dos
label-id: 0x7a5c0b01
start=${part_start}, size=${part_sectors}, type=83
SFDISK

MKE2FS_CONFIG="$work/mke2fs.conf" mkfs.ext4 -q -F -t ext4 -L tavref -U "$fs_uuid" \
  -E "offset=$part_offset,hash_seed=$hash_seed,root_owner=0:0,lazy_itable_init=0,nodiscard" \
  -d "$work/files" "$out" $((part_sectors / 2))k
{ echo /; cat "$work/files.paths"; } |
  awk -v t="@$epoch" '{print "sif " $0 " ctime " t; print "sif " $0 " atime " t}' \
  >"$work/times.cmds"
debugfs -w -f "$work/times.cmds" "$out?offset=$part_offset" >"$work/times.log" 2>&1
if grep -qiE 'error|not found|could not|failed|invalid' "$work/times.log"; then
  grep -iE 'error|not found|could not|failed|invalid' "$work/times.log" | head -5 >&2
  echo "make_reference_disk: resetting the change times failed" >&2
  exit 1
fi
echo "$out"
