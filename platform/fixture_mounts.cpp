// The in-memory mount table and volume list, and mount fixtures: the mount
// table with its volume names saved and replayed as JSON (the format is
// described in tests/fixtures/README.md).
#include <cstring>

#include "platform/fixture_json.h"
#include "util/prog.h"

namespace vlm {

// --- the in-memory mount table and volume list ---------------------------------------

int MemMountTable::getfsstat(vlm_statfs* buf, long bufsize, int) {
  if (fail) return -1;
  if (!buf) return static_cast<int>(entries.size());
  if (bufsize < 0) return 0;
  size_t room = static_cast<size_t>(bufsize) / sizeof(vlm_statfs);
  size_t n = std::min(room, entries.size());
  std::copy_n(entries.begin(), n, buf);
  return static_cast<int>(n);
}

vlm_statfs& MemMountTable::add(const std::string& from, const std::string& on,
                               const std::string& fstype, uint32_t bsize, uint64_t blocks,
                               uint64_t bfree) {
  vlm_statfs fs{};
  zcpfield(fs.f_mntfromname, from.c_str());
  zcpfield(fs.f_mntonname, on.c_str());
  zcpfield(fs.f_fstypename, fstype.c_str());
  fs.f_bsize = bsize;
  fs.f_iosize = static_cast<int32_t>(bsize);
  fs.f_blocks = blocks;
  fs.f_bfree = bfree;
  fs.f_bavail = bfree;
  entries.push_back(fs);
  return entries.back();
}

int MemVolumeList::setName(const std::string& path, const std::string& name) {
  if (refuseRename) return 1;
  for (auto& v : volumes) {
    if (v.path == path) {
      v.name = name;
      v.hasName = true;
      return 0;
    }
  }
  return 1;
}

namespace {

using namespace fixture;

template <size_t N>
void fieldIn(const Doc& d, const json& rec, const char* key, char (&field)[N], const std::string& at) {
  const std::string in = at + "/" + key;
  std::string s = d.text(d.member(rec, key, at), in);
  if (s.find('\0') != std::string::npos) d.fail(in, "text holds a NUL byte");
  if (s.size() >= N)
    d.fail(in, "text of " + std::to_string(s.size()) + " bytes does not fit (at most " +
                   std::to_string(N - 1) + ")");
  std::memcpy(field, s.data(), s.size());
}

template <size_t N>
std::string fieldOut(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

template <typename T>
void numberIn(const Doc& d, const json& rec, const char* key, T& out, const std::string& at,
              bool required) {
  if (!required && !rec.contains(key)) return;
  out = d.integer<T>(d.member(rec, key, at), at + "/" + key);
}

vlm_statfs mountIn(const Doc& d, const json& rec, const std::string& at) {
  d.onlyKeys(rec, {"f_bsize", "f_blocks", "f_bfree", "f_bavail", "f_fstypename", "f_mntonname",
                   "f_mntfromname", "f_iosize", "f_files", "f_ffree", "f_fsid", "f_owner",
                   "f_type", "f_flags", "f_fssubtype", "f_reserved", "name", "volume", "comment"},
             at);
  vlm_statfs fs{};
  numberIn(d, rec, "f_bsize", fs.f_bsize, at, true);
  numberIn(d, rec, "f_blocks", fs.f_blocks, at, true);
  numberIn(d, rec, "f_bfree", fs.f_bfree, at, true);
  numberIn(d, rec, "f_bavail", fs.f_bavail, at, true);
  fieldIn(d, rec, "f_fstypename", fs.f_fstypename, at);
  fieldIn(d, rec, "f_mntonname", fs.f_mntonname, at);
  fieldIn(d, rec, "f_mntfromname", fs.f_mntfromname, at);
  numberIn(d, rec, "f_iosize", fs.f_iosize, at, false);
  numberIn(d, rec, "f_files", fs.f_files, at, false);
  numberIn(d, rec, "f_ffree", fs.f_ffree, at, false);
  numberIn(d, rec, "f_fsid", fs.f_fsid, at, false);
  numberIn(d, rec, "f_owner", fs.f_owner, at, false);
  numberIn(d, rec, "f_type", fs.f_type, at, false);
  numberIn(d, rec, "f_flags", fs.f_flags, at, false);
  numberIn(d, rec, "f_fssubtype", fs.f_fssubtype, at, false);
  if (rec.contains("f_reserved")) {
    const json& r = rec["f_reserved"];
    if (!r.is_array() || r.size() != 8) d.fail(at + "/f_reserved", "expected 8 integers");
    for (size_t i = 0; i < 8; ++i) fs.f_reserved[i] = d.integer<uint32_t>(r[i], Doc::child(at + "/f_reserved", i));
  }
  return fs;
}

json mountOut(const vlm_statfs& fs) {
  json o{{"f_mntfromname", textOut(fieldOut(fs.f_mntfromname))},
         {"f_mntonname", textOut(fieldOut(fs.f_mntonname))},
         {"f_fstypename", textOut(fieldOut(fs.f_fstypename))},
         {"f_bsize", fs.f_bsize}, {"f_blocks", fs.f_blocks},
         {"f_bfree", fs.f_bfree}, {"f_bavail", fs.f_bavail}};
  const std::pair<const char*, long long> extra[] = {{"f_iosize", fs.f_iosize},
      {"f_owner", fs.f_owner}, {"f_type", fs.f_type}, {"f_flags", fs.f_flags},
      {"f_fssubtype", fs.f_fssubtype}};
  for (const auto& [k, v] : extra)
    if (v) o[k] = v;
  if (fs.f_files) o["f_files"] = fs.f_files;  // unsigned 64-bit: kept whole
  if (fs.f_ffree) o["f_ffree"] = fs.f_ffree;
  if (fs.f_fsid) o["f_fsid"] = fs.f_fsid;
  if (std::any_of(std::begin(fs.f_reserved), std::end(fs.f_reserved), [](uint32_t r) { return r; }))
    o["f_reserved"] = fs.f_reserved;
  return o;
}


}  // namespace

void loadMountsFixture(const std::string& file, MemMountTable& mounts, MemVolumeList& volumes) {
  Doc d{file};
  json j = d.parse();
  if (!j.is_array()) d.fail("", "expected an array of mount records");
  std::vector<vlm_statfs> entries;
  std::vector<MountedVolume> vols;
  for (size_t i = 0; i < j.size(); ++i) {
    const std::string at = Doc::child("", i);
    entries.push_back(mountIn(d, j[i], at));
    bool listed = j[i].contains("volume") ? d.boolean(j[i]["volume"], at + "/volume") : true;
    if (!listed && j[i].contains("name")) d.fail(at + "/name", "a record that is not a volume has no name");
    if (j[i].contains("comment") && !j[i]["comment"].is_string()) d.fail(at + "/comment", "expected a string");
    if (!listed) continue;
    MountedVolume v;
    v.path = fieldOut(entries.back().f_mntonname);
    if (j[i].contains("name")) {
      v.hasName = true;
      v.name = d.text(j[i]["name"], at + "/name");
    }
    vols.push_back(std::move(v));
  }
  mounts.entries = std::move(entries);
  volumes.volumes = std::move(vols);
}

void dumpMounts(MountTable& mounts, VolumeList& volumes, const std::string& file) {
  int n = mounts.getfsstat(nullptr, 0, MNT_WAIT);
  if (n < 0) throw FixtureError(file + ": the mount table can't be read");
  std::vector<vlm_statfs> buf(static_cast<size_t>(n) + 16);
  n = mounts.getfsstat(buf.data(), static_cast<long>(buf.size() * sizeof(vlm_statfs)), MNT_WAIT);
  if (n < 0) throw FixtureError(file + ": the mount table can't be read");
  std::vector<MountedVolume> vols = volumes.mountedVolumes();
  std::vector<bool> used(vols.size());
  json out = json::array();
  for (int i = 0; i < n; ++i) {
    json o = mountOut(buf[i]);
    const std::string on = fieldOut(buf[i].f_mntonname);
    size_t k = 0;
    while (k < vols.size() && (used[k] || vols[k].path != on)) ++k;
    if (k == vols.size()) {
      o["volume"] = false;
    } else {
      used[k] = true;
      if (vols[k].hasName) o["name"] = textOut(vols[k].name);
    }
    out.push_back(o);
  }
  writeFile(file, out);
}

}  // namespace vlm
