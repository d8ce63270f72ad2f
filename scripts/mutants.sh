#!/usr/bin/env bash
# Makes faults on purpose, one at a time, and checks that the tests catch each.
# Not part of the test run: run it before and after changing the tests.
#
#   scripts/mutants.sh [ID...]     all faults, or only the ones named
#
# Works on a scratch copy of the tree as it is now (committed or not) under
# $VLM_MUTANTS_DIR (default /tmp/vlm-mutants-<tree name>), which is kept so that
# the next run builds only what changed. Per fault: one sed script on one
# source file, a build of the named targets (-j2, ccache), the named test
# program(s) with a test filter, then the file is put back. A fault is caught
# when a test fails (or the program crashes or hangs); SURVIVED when all pass;
# ERROR when the sed script changes nothing or the fault does not build.
set -uo pipefail

tree=$(cd "$(dirname "$0")/.." && pwd)
work=${VLM_MUTANTS_DIR:-/tmp/vlm-mutants-$(basename "$tree")}
src=$work/src
build=$src/build
lock=/tmp/vlm-suite.lock
loop_tests='LoopDisks.*:VlmperfwriteDisk.*:VlmperfutilDisk.*:VlmperfutilChecks.*:FollowDevice.*:DelegateFixture.KernelEventsRefreshTheList'

# ID | file | build targets | test programs | gtest filter | what the fault is | sed script
read -r -d '' FAULTS <<'EOF'
U01|util/prog.cpp|util_tests|util_tests|Prog.*|case fold stops before 'z' (off by one)|s/c >= 'a' && c <= 'z'/c >= 'a' \&\& c < 'z'/
U02|util/prog.cpp|util_tests|util_tests|Prog.*|form feed left out of the white-space set|s/ || c == '\\f';/;/
U03|util/dates.cpp|util_tests|util_tests|Dates.*|century rule of leap years flipped|s/y % 100 != 0/y % 100 == 0/
U04|util/dates.cpp|util_tests|util_tests|Dates.*|month 13 accepted (off by one)|s/month > 12) return fail/month > 13) return fail/
U05|util/alerts.cpp|util_tests|util_tests|Alerts.*|two-button alert: the answers swapped|s/return choice == 0 ? 1 : 0;/return choice == 0 ? 0 : 1;/
U06|util/startup.cpp|util_tests|util_tests|Menuinit.*:Perfutilinit.*|HOME of 201 characters accepted (off by one)|s/strlen(home) > 200/strlen(home) > 201/
D01|disk/list.cpp|disk_tests|disk_tests|*|partitions sorted in reverse order|s/x->partno < y->partno ? -1 : 1/x->partno < y->partno ? 1 : -1/
D02|disk/list.cpp|disk_tests|disk_tests|*|whole disk drawn green instead of blue|s/else if (rec->whole) c = 1;/else if (rec->whole) c = 2;/
D03|disk/list.cpp|disk_tests|disk_tests|*|selection H keeps set members (rule left out)|s/if (rec->mirror || rec->setid) return 1;/if (rec->mirror) return 1;/
D04|disk/list.cpp|disk_tests|disk_tests|*|partition never links to the first row (off by one)|s/for (int j = i - 1; j >= 0; --j)/for (int j = i - 1; j > 0; --j)/
D05|disk/types.cpp|disk_tests|disk_tests|*|product partition typed HFS instead of HFS*|s/{"Velmora_HFS", "HFS\*"}/{"Velmora_HFS", "HFS"}/
D06|disk/mounts.cpp|disk_tests|disk_tests|*|mount count beyond the buffer trusted|/never trust a count beyond the buffer/d
P01|perf/store.cpp|perf_tests|perf_tests|Progress.*:Results.*:Store.*|progress key searched on from the removal point|s/while ((p = std::strstr(chunk, key)) != nullptr)/for (p = chunk; (p = std::strstr(p, key)) != nullptr;)/
P02|perf/store.cpp|perf_tests|perf_tests|Progress.*:Results.*:Store.*|Random and Dual figures swapped|s/case 1: return p.randkps;/case 1: return p.dualkps;/; s/case 2: return p.dualkps;/case 2: return p.randkps;/
P03|perf/store.cpp|perf_tests|perf_tests|Progress.*:Results.*:Store.*|store names compared with case|s/zcpxcap(e->name, name)/std::strcmp(e->name, name) == 0/
P04|perf/store.cpp|perf_tests|perf_tests|Progress.*:Results.*:Store.*|empty result value accepted|s/if (len < 1 || len > static_cast<size_t>(kValueMax)) return 76;/if (len > static_cast<size_t>(kValueMax)) return 76;/
P05|perf/runner.cpp|perf_tests|perf_tests|Runner.*|lost exit status taken as success|/reaped = true;/{n;s/return -1;/status = 0; return 1;/}
P06|perf/runner.cpp|perf_tests|perf_tests|Runner.*|child keeps the parent's SIGINT disposition|/sigaction(SIGINT, &dfl, nullptr);/d
P07|perf/testctl.cpp|perf_tests|perf_tests|TestControl.*|Cancel at the question starts the test|s/if (!messbox2("Test Media:", question, "Ok", "Cancel")) return;/messbox2("Test Media:", question, "Ok", "Cancel");/
P08|perf/testctl.cpp|perf_tests|perf_tests|TestControl.*|a second test allowed while one runs|s/if (Testing.load() != 0) {/if (Testing.load() > 1) {/
P09|perf/testctl.cpp|perf_tests app_tests VLM-Performance|perf_tests app_tests|TestControl.*:CliTest.*|result alert without the warnings first|s/std::string shown = perfwarnfirst(buf.get());/std::string shown = buf.get();/
V01|perf/vlmperfutil/args.cpp|vlmperfutil perf_tests|perf_tests|VlmperfutilArgs.*|-s 61 accepted (off by one)|s/if (v < lo || v > hi) return false;/if (v < lo || v > hi + 1) return false;/
V02|perf/vlmperfutil/args.cpp|vlmperfutil perf_tests|perf_tests|VlmperfutilArgs.*|-T given twice accepted|s/if (strcmp(a, "-T") == 0 && !haveT)/if (strcmp(a, "-T") == 0)/
V03|perf/vlmperfutil/stats.cpp|perf_tests|perf_tests|VlmperfutilHistogram.*:VlmperfutilRng.*|percentile midpoint a quarter bucket low|s/>> 1);$/>> 2);/
V04|perf/vlmperfutil/stats.cpp|perf_tests|perf_tests|VlmperfutilHistogram.*:VlmperfutilRng.*|random generator state not mixed|s/s_\[3\] = std::rotl(s_\[3\], 45);/s_[3] = s_[3];/
T01|table/poolcore.cpp|table_tests|table_tests|*|result figure 0 shown instead of empty|s/return k < 1 ? text("")/return k < 0 ? text("")/
T02|table/poolcore.cpp|table_tests|table_tests|*|partition names lose their indent|s/std::string s = rec->whole ? "" : "   ";/std::string s = "";/
T03|table/poolcore.cpp|table_tests|table_tests|*|mirror reload selects as a partition reload|s/diskinfo(mode == 2 ? 'M' : 'H');/diskinfo(mode == 2 ? 'H' : 'M');/
T04|table/poolcore.cpp|table_tests|table_tests|*|byte 0x80 taken for ASCII|s/size_t n = c < 0x80 ? 1 :/size_t n = c <= 0x80 ? 1 :/
T05|table/column.cpp|gui_tests|gui_tests|PoolFixture.*:CellColours.*:NumberText.*|colour codes past 6 wrap at 6, not 7|s/int slot = rec->color % 7;/int slot = rec->color % 6;/
T06|table/pool.cpp|gui_tests|gui_tests|PoolFixture.*:CellColours.*:NumberText.*|red row left untinted|s/if (index <= 0 || index > 6) return {base, text};/if (index <= 0 || index > 5) return {base, text};/
T07|table/column.cpp|gui_tests|gui_tests|PoolFixture.*:CellColours.*:NumberText.*|set members on one disk drawn gray, not red|s/cell = thepool->CArray\[6\];/cell = thepool->CArray[5];/
L01|platform/devnames.cpp|platform_tests|platform_tests|DevNames.*:SysfsRead.*|a repeated identity kept on both disks|s/if (uses\[d.dev.ident\] > 1)/if (uses[d.dev.ident] > 2)/
L02|platform/devnames.cpp|platform_tests|platform_tests|DevNames.*:SysfsRead.*|virtual disks numbered before physical ones|s/return std::make_tuple(d.dev.virt, /return std::make_tuple(!d.dev.virt, /
L03|platform/linux_mounts.cpp|platform_tests|platform_tests|MountText.*:LinuxMounts.*:VolumeNames.*|bind mounts measured as the device|s/if (m.root != "\/" \&\& m.fstype != "btrfs") return nullptr;//
L04|platform/linux_mounts.cpp|platform_tests|platform_tests|MountText.*:LinuxMounts.*:VolumeNames.*|read-only flag from the wrong option|s/opts.find(",ro,")/opts.find(",rw,")/
L05|platform/linkspeed.cpp|platform_tests|platform_tests|LinkSpeed.*|PCIe 8 GT/s counted with 8b/10b coding|s/case 80: case 160: case 320: return make(text, mbit, 128, 130);/case 80: case 160: case 320: return make(text, mbit, 8, 10);/
A01|app/install.cpp|app_tests|app_tests|Install.*|installed copy of mode 4755 taken as ready|s/(st.st_mode & 07777) == 04711/(st.st_mode \& 07777) == 04755/
A02|app/install.cpp|app_tests|app_tests|Install.*|nosuid mount no longer said|s/if (onnosuid(perfutilcopy)) {/if (false) {/
A03|app/cli_list.cpp|app_tests|app_tests|CliList.*|listed colour code one off|s/j.field("Color", static_cast<int>(rec->color));/j.field("Color", static_cast<int>(rec->color) + 1);/
A09|app/cli_list.cpp|app_tests|app_tests|CliList.*|control bytes of a name sent to the terminal|s/ || c == 0x7F) c = '?';/ \&\& false) c = '?';/
A04|app/cli_test.cpp|app_tests VLM-Performance|app_tests|CliTest.*|consent asked on a closed input instead of refused|s/if (!opts.yes && !isatty(0)) {/if (false) {/
A05|app/appdelegate.cpp|gui_tests|gui_tests|DelegateFixture.*|the selection does not come back after a refresh|/toggle the row off again/{n;s/if (row >= 0)/if (false)/}
A06|app/appdelegate.cpp|gui_tests|gui_tests|DelegateFixture.*|closing during a test: the answers swapped|s/if (!quitting_ \&\& messbox2(/if (!quitting_ \&\& !messbox2(/
A07|app/vlmperfinstall/main.cpp|vlmperfinstall app_tests|app_tests|Install.*|the installer follows a link planted at the target|s/fstatat(dfd, kName, &st, AT_SYMLINK_NOFOLLOW)/fstatat(dfd, kName, \&st, 0)/
A08|app/appdelegate.cpp|gui_tests|gui_tests|DelegateFixture.*|the line that says how to install the utility never shown|s/setupline->setVisible(!vlm::utilityready());/setupline->setVisible(false);/
V21|perf/vlmperfutil/stats.cpp|perf_tests|perf_tests|VlmperfutilHistogram.*|a percentile one rank late|s/double(run) >= want/double(run) > want/
V22|perf/vlmperfutil/stats.cpp|perf_tests|perf_tests|VlmperfutilHistogram.*|a percentile above the maximum|s/return std::clamp(midpoint(i), min_, max_);/return midpoint(i);/
V23|perf/vlmperfutil/engine.h|perf_tests|perf_tests|VlmperfutilRng.*|random offsets only in the first half|s/rng.below((end - begin) \/ bs) \* bs/rng.below((end - begin) \/ bs \/ 2) * bs/
V24|perf/vlmperfutil/engine.h|perf_tests|perf_tests|VlmperfutilRng.*|random offsets aligned to sectors, not blocks|s/rng.below((end - begin) \/ bs) \* bs/rng.below((end - begin) \/ 512) * 512/
V25|perf/vlmperfutil/checks.h|perf_tests|perf_tests|VlmperfutilCounters.*|busy at others' reads of 2% exactly|s/othersRead() \* 50 > own/othersRead() * 50 >= own/
V26|perf/vlmperfutil/checks.h|perf_tests|perf_tests|VlmperfutilCounters.*|undercounted at 98% exactly|s/kernelRead \* 50 < own \* 49/kernelRead * 50 <= own * 49/
V27|perf/vlmperfutil/engine_uring.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.MeasuresWithinTheUsersLimits|the warm-up counted as measured|s/Timeline tl{t0 + pt.warmNs, t0 + pt.warmNs + pt.durNs};/Timeline tl{t0, t0 + pt.warmNs + pt.durNs};/
V28|perf/vlmperfutil/engine_uring.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.MeasuresWithinTheUsersLimits|no warm-up|s/Timeline tl{t0 + pt.warmNs, t0 + pt.warmNs + pt.durNs};/Timeline tl{t0, t0 + pt.durNs};/
V29|perf/vlmperfutil/engine_uring.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.MeasuresWithinTheUsersLimits|a quarter of the time measured|s/Timeline tl{t0 + pt.warmNs, t0 + pt.warmNs + pt.durNs};/Timeline tl{t0 + pt.warmNs, t0 + pt.warmNs + pt.durNs \/ 4};/
V32|perf/vlmperfutil/phases.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.MeasuresWithinTheUsersLimits|every warm-up twice as long as stated|s/const PhaseTime pt{plan.warmNs(), /const PhaseTime pt{2 * plan.warmNs(), /
V30|perf/vlmperfutil/phases.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.MeasuresWithinTheUsersLimits|reads 8 deep where the record says 1|s/t = eng.run({{rnd, 0, end, ph.bs, ph.depth}}, pt, pg);/t = eng.run({{rnd, 0, end, ph.bs, 8}}, pt, pg);/
V31|perf/vlmperfutil/phases.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.MeasuresWithinTheUsersLimits|one thread where the record says one per core|s/ph.threads, pt, pg);/1, pt, pg);/
P21|perf/record.cpp|perf_tests|perf_tests|RecordTexts.*|CSV cells that begin a formula left as they are|s/!cell.empty() \&\& std::strchr/false \&\& std::strchr/
P22|perf/record.cpp|perf_tests|perf_tests|RecordTexts.*|control bytes of names reach the copied text|s/else if (c < 0x20 /else if (false \&\& c < 0x20 /
P23|perf/record.cpp|perf_tests|perf_tests|RecordTexts.*|empty fields of the device line kept|s/if (!part.empty()) o << part << ", ";/o << part << ", ";/
P24|perf/record.cpp|perf_tests|perf_tests|RecordTexts.*|a backslash in a metrics label not escaped|/A label value: /,/^}/s/if (c == '\\\\') o += "\\\\\\\\";/if (false) o += "";/
P10|perf/runner.cpp|perf_tests|perf_tests|Runner.*|a child that ignores the cancel is never killed|s/if (cancelAt >= 0 && now - cancelAt >= cancelGraceMs) {/if (false) {/
U07|util/startup.cpp|util_tests|util_tests|Menuinit.*|the file-creation mask cleared, so others may write what the program makes|s/umask(mask | S_IWOTH);/umask(0);/
P11|perf/runner.cpp|perf_tests|perf_tests|Runner.*|a missing program ends the application|s/    return 255 << 8;/    zerex("run2mem: can't find: %s", path);/
P12|perf/testctl.cpp|perf_tests|perf_tests|TestControl.*|the device's name of the question kept when devices moved|s/const int now = diskrow(devid, bsdname);/const int now = -1;/
P13|perf/testctl.cpp|perf_tests|perf_tests|TestControl.*|a canceled run's button says Failed|s/canceledRun_.load() ? "Canceled" : "Failed"/"Failed"/
P14|perf/testctl.cpp|perf_tests|perf_tests|TestControl.*|the question counts one phase, not four|s/testplan::totalMs(seconds > 0/testplan::phaseMs(seconds > 0/
V05|perf/vlmperfutil/checks.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilChecks.ACanceled*|a canceled run says Checked|s/|| !counted || !whole) return;/|| !counted) return;/
V06|perf/vlmperfutil/args.cpp|vlmperfutil perf_tests|perf_tests|VlmperfutilArgs.*|-V reports a byte of the build identity short|s/for (unsigned k = 0; k < n->n_descsz; ++k)/for (unsigned k = 1; k < n->n_descsz; ++k)/
A10|app/install.cpp|app_tests|app_tests|Install.*|another build's copy taken as this build's|s/return samebuild(perfutilcopy, sourceutility()) ? CopyState::Ready : CopyState::OtherBuild;/return CopyState::Ready;/
A11|app/install.cpp|app_tests|app_tests|Install.*|a pkexec that could not ask says nothing|s/  if (status == 0) return true;/  if (status == 0) return true;\n  if (status == 127 << 8) return false;/
A12|app/install.cpp|app_tests|app_tests|Install.*|the command for root left out|s/msg += "Run this command as root to install it:\\n" + vlm::shellquote(vlm::rootycommand(path, true));/msg += "Run this command as root to install it:\\n";/
A13|app/vlmperfinstall/main.cpp|vlmperfinstall app_tests|app_tests|Install.*|the installer refuses another build's copy|/another build's utility: replacing it/{n;s/return false;/std::exit(1);/}
A14|app/appdelegate.cpp|gui_tests|gui_tests|DelegateFixture.*|Test Media offers no installation|s/const bool ready = vlm::offerinstall();/const bool ready = vlm::utilityready();/
A15|app/appdelegate.cpp|gui_tests|gui_tests|DelegateFixture.HelpAndVisit*|a type without a handler counts as opened|s/query.readAllStandardOutput().trimmed().isEmpty())/false)/
A16|app/appdelegate.cpp|gui_tests|gui_tests|DelegateFixture.HelpAndVisit*|xdg-open's failure counts as opened|s/const bool ok = p->exitStatus() == QProcess::NormalExit \&\& p->exitCode() == 0;/const bool ok = true;/
A17|app/gui_alerts.cpp|gui_tests|gui_tests|QtAlerts.*|the utility's whole output in a message box taller than the screen|s/ \* fm.lineSpacing() > avail.height() \/ 2)/ * fm.lineSpacing() < 0)/
A18|app/appdelegate_window.cpp|gui_tests|gui_tests|DelegateFixture.ColumnsFit*|a figure's warning sign not counted in its column's width|s/isValid() ? sign : 0;/isValid() ? 0 : 0;/
U08|util/startup.cpp|gui_tests|gui_tests|DelegateFixture.SavedFiles*|a launch leaves the mask at 0: settings and saved files writable by others|s/umask(mask | S_IWOTH);/umask(0);/
P15|perf/record.cpp|gui_tests|gui_tests|DelegateFixture.SavedFiles*|a saved file readable and writable by all, whatever the mask|s/fchmod(fd, 0666 \& ~currentUmask())/fchmod(fd, 0666)/
A19|app/gui_details.cpp|gui_tests|gui_tests|DelegateFixture.SavedFiles*|Save with the table type chosen and no extension writes JSON|s/f += chosen == csv ? QStringLiteral(".csv")/f += chosen != csv ? QStringLiteral(".csv")/
A20|app/gui_details.cpp|gui_tests|gui_tests|DelegateFixture.SavedFiles*|Compare names the other side by device name only|s/  otherName_ = label(other_);/  otherName_ = qs(other_["device"].value("name", ""));/
T08|table/pool.cpp|gui_tests|gui_tests|PoolFixture.*|copied rows lose the warning sign|s/(sign ? QStringLiteral("\\u26A0 ") : QString())/QString()/
S01|perf/vlmperfutil/device.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.*|a stopped holder keeps the device|s/return "while stopped";/return "";/
S02|perf/vlmperfutil/device.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.*|an honest run within its time is ended too|s/if (ageMs <= vlm::testplan::kLongestRunMs) return "";/if (false) return "";/
S03|perf/runner.cpp|perf_tests|perf_tests|+VlmperfutilDisk.*|the child starts with SIGCONT open|s/sigaddset(&cont, SIGCONT);//
S04|perf/vlmperfutil/main.cpp|vlmperfutil perf_tests|perf_tests|+VlmperfutilDisk.*|signals unblocked before the cancel handler is there|/^  installCancelHandler();$/d; s/^  sanitiseProcess();$/  sanitiseProcess();\n  installCancelHandler();/
S05|perf/record.cpp|perf_tests|perf_tests|Record*|texts of any length loaded|s/if (s.contains("maxLength") && v.is_string()) {/if (false) {/
S06|perf/record.cpp|perf_tests|perf_tests|Record*|text length counted in bytes|s/chars += (c & 0xC0) != 0x80;/chars += 1;/
S07|perf/record.cpp|perf_tests|perf_tests|Record*|slices beyond the phase's time loaded|s/if (ph\["sliceBytes"\].size() > most)/if (false)/
S08|perf/record.cpp|perf_tests|perf_tests|Record*|a saved record of 16 MiB read|s/kMaxFile = 1 << 20;/kMaxFile = 16 << 20;/
S09|cmake/root_owned_path.cmake|app_tests|app_tests|Install.*|root installs set-user-ID into a user's prefix|s/elseif(NOT uid EQUAL 0)/elseif(FALSE)/
S10|app/vlmperfinstall/main.cpp|vlmperfinstall app_tests|app_tests|Install.*|a folder its group may change is trusted|s/if ((st.st_mode & 022) && (last/if ((st.st_mode \& 002) \&\& (last/
L06|platform/linux_registry.cpp|platform_tests VLM-Performance|platform_tests|+LoopDisks.Zoo*|the file system's UUID left out of the registry|/m.set("Filesystem UUID"/d
L07|platform/linux_mounts.cpp|platform_tests VLM-Performance|platform_tests|+LoopDisks.Zoo*|a btrfs mount not found by its source device|s/return devnames::findDevno(devs, st.st_rdev);/return nullptr;/
L08|platform/linux_registry.cpp|platform_tests|platform_tests|LinuxRegistry.*|a file system on a whole disk not named by its label|s/const bool volume = first == end \&\& !probe.fsLabel.empty();/const bool volume = false;/
P16|perf/testctl.cpp|perf_tests|perf_tests|TestControl.*|the volume name cut inside a UTF-8 character|s/(static_cast<unsigned char>(name\[n\]) \& 0xC0) == 0x80/false/
L09|platform/devnames.cpp|platform_tests|platform_tests|LinuxRegistry.*:DevNames.*|a partition's name from uevent lost|s/p.partName = value("PARTNAME").value_or("");/p.partName = "";/
L10|platform/devnames.cpp|platform_tests|platform_tests|LinuxRegistry.*|a partition held by another device (in its slaves) not marked open|s/for (auto\& p : d->parts) p.held = held.count(p.kernel) > 0;/for (auto\& p : d->parts) p.held = false;/
L11|platform/linkspeed.cpp|platform_tests|platform_tests|LinuxRegistry.*|every directory given the link cached first|s/return remembered(mu_, links_, dir, /return remembered(mu_, links_, links_.empty() ? dir : links_.begin()->first, /
L12|platform/devnames.cpp|platform_tests|platform_tests|LinuxRegistry.*:DevNames.*|a disk with a WWN gets no serial number for the registry|s/k < 3 \&\& (d.dev.serial.empty() || (wwid.empty() \&\& serial.empty()))/k < 3 \&\& wwid.empty() \&\& serial.empty()/
L13|platform/devnames.cpp|platform_tests|platform_tests|LinuxRegistry.*:DevNames.*|the disk's own serial attribute taken as absent|s/(has("serial") ? sysfs::readText(dfd, "serial", 512) : std::nullopt)/std::optional<std::string>()/
A21|app/appdelegate.cpp|gui_tests|gui_tests|+DelegateFixture.KernelEventsRefreshTheList|mount changes not followed|/connect(mountNotifier_.get()/d
A22|app/appdelegate.cpp|gui_tests|gui_tests|+DelegateFixture.KernelEventsRefreshTheList|a hot-plug refresh while a test runs|s/if (Testing.load() != 0 || control_->busy() || rebuilding_) {/if (control_->busy() || rebuilding_) {/
W01|perf/vlmperfwrite/space.cpp|perf_tests|perf_tests|Write*|a twentieth of the volume kept free, not a tenth|s/total \/ 10 > kMinKeep ? total \/ 10/total \/ 20 > kMinKeep ? total \/ 20/
W02|perf/vlmperfwrite/space.cpp|perf_tests|perf_tests|Write*|more than half the free space taken|s/return half < room ? half : room;/return room;/
W03|perf/vlmperfwrite/knee.cpp|perf_tests|perf_tests|Write*|a fall that recovers taken for the knee|s/if (above \* 10 > n - best->slice) return std::nullopt;//
W04|perf/vlmperfwrite/knee.cpp|perf_tests|perf_tests|Write*|a fall of 25% taken for the knee|s/after <= 0.7 \* before/after <= 0.8 * before/
W05|perf/vlmperfwrite/space.cpp|vlmperfwrite perf_tests|perf_tests|+VlmperfwriteDisk.*|a read-only mount not refused|s/(vfs.f_flag \& ST_RDONLY)/false/
W06|perf/vlmperfwrite/space.cpp|vlmperfwrite perf_tests|perf_tests|+VlmperfwriteDisk.*|the fallback's hidden name left in the folder|s/if (unlink(path.c_str()) != 0) {/if (false) {/
W07|app/cli_test.cpp|VLM-Performance app_tests|app_tests|CliTest.*|--write-test takes a device node|s/S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)/false/
W08|perf/record.cpp|VLM-Performance app_tests|app_tests|CliTest.*|write metrics' patterns keep their blanks|s/std::replace(p.begin(), p.end(), ' ', '_');//
W09|perf/writectl.cpp|gui_tests vlmperfwrite|gui_tests|DelegateFixture.WriteTestIntoTheRowsVolume|a folder chosen on another volume taken|s/if (sameVolume(folder, mnt)) return "";/return "";/
W10|perf/writectl.cpp|gui_tests vlmperfwrite|gui_tests|DelegateFixture.WriteTestIntoTheRowsVolume|the chosen folder left out: the test writes the default one|s/    folder = chosen;//
W11|perf/writectl.cpp|gui_tests vlmperfwrite|gui_tests|DelegateFixture.WriteTestIntoTheRowsVolume|the folder dialog starts at the volume, not the question's folder|s/ui_.chooseFolder(folder)/ui_.chooseFolder(mnt)/
W12|perf/vlmperfwrite/space.cpp|gui_tests vlmperfwrite|gui_tests|DelegateFixture.WriteTestIntoTheRowsVolume|a chosen folder on a read-only mount taken|s/(vfs.f_flag \& ST_RDONLY)/false/
W13|perf/vlmperfwrite/main.cpp|vlmperfwrite perf_tests|perf_tests|+VlmperfwriteDisk.KilledOrCanceled*|the runner's blocked SIGCONT left blocked: a cancel never arrives|/sigprocmask(SIG_SETMASK, &none, nullptr);/d
H01|perf/history.cpp|perf_tests|perf_tests|History.*|a figure exactly 30% below called slower|s/if (now\[i\] \* 10 >= usual \* kSlowerTenths) continue;/if (now[i] * 10 > usual * kSlowerTenths) continue;/
H02|perf/history.cpp|perf_tests|perf_tests|History.*|the usual figure is the lowest, not the median|s/past\[i\]\[kComparable \/ 2\]/past[i][0]/
H03|perf/history.cpp|perf_tests|perf_tests|History.*|tests with warnings counted as comparable|s/!r.value("warnings", Record::array()).empty()/false/
H04|perf/history.cpp|perf_tests|perf_tests|TestControl.HistoryFaults|a damaged file is not set aside|s/if (damaged(rc) \&\& !setAsideOnce) {/if (false) {/
H05|perf/history.cpp|perf_tests|perf_tests|History.*|busy files not waited for: concurrent writers lose tests|s/sqlite3_busy_timeout(db_, 10000);//; s/\&\& attempt < 100)/\&\& attempt < 0)/
H06|perf/history.cpp|gui_tests|gui_tests|DelegateFixture.LaunchShowsRememberedFigures|launch figures found by the old name, not the identity|/zcpfield(e.devid, t.device.c_str());/d
H07|app/appdelegate.cpp|gui_tests|gui_tests|DelegateFixture.LaunchShowsRememberedFigures|"Remember results" off still shows the history|s/if (remember->isChecked()) {/if (true) {/
H08|perf/history.cpp|app_tests|app_tests|CliList.HistoryCommands|a device's tests oldest first|s/ORDER BY time DESC, id DESC LIMIT/ORDER BY time, id LIMIT/
H09|app/gui_history.cpp|gui_tests|gui_tests|HistoryView.*|CSV export runs every test into one row|s/csvField(verdicts(t.record).toStdString()) + "\\r\\n"/csvField(verdicts(t.record).toStdString())/
EOF

say() { printf '%s\n' "$*"; }

# The scratch copy: the tree's files as they are now, changed files copied
# with a fresh time stamp, files gone from the tree removed.
sync_copy() {
  mkdir -p "$src"
  (cd "$tree" && git ls-files -co --exclude-standard -z) |
    while IFS= read -r -d '' f; do
      [ -f "$tree/$f" ] || continue
      if ! cmp -s "$tree/$f" "$src/$f"; then
        mkdir -p "$(dirname "$src/$f")"
        cp "$tree/$f" "$src/$f"
      fi
    done
  (cd "$tree" && git ls-files -co --exclude-standard | while IFS= read -r f; do
    [ -f "$f" ] && printf '%s\n' "$f"; done) | sort > "$work/files"
  (cd "$src" && find . -path ./build -prune -o -type f -print | sed 's|^\./||' | sort) |
    comm -23 - "$work/files" | while IFS= read -r f; do rm -f "$src/$f"; done
}

configure() {
  CCACHE_BASEDIR=$src cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache > "$work/configure.log" 2>&1
}

build_targets() {  # targets...
  CCACHE_BASEDIR=$src cmake --build "$build" -j2 --target "$@" > "$work/build.log" 2>&1
}

# Runs the programs with the filter; prints the names of the failed tests,
# or "crash"/"hang" when a program ended without naming one, "no-tests"
# when the filter ran none. Loop-disk tests
# are left out unless the filter begins with "+", which runs them under the
# suite's lock.
run_tests() {  # "programs" filter
  local progs=$1 filter=$2 prog out rc failed="" wrap=()
  if [[ $filter == +* ]]; then
    filter=${filter#+}
    wrap=(flock "$lock")
  else
    filter="$filter-$loop_tests"
  fi
  for prog in $progs; do
    out=$work/out.$prog
    (cd "$build/tests" && QT_QPA_PLATFORM=offscreen "${wrap[@]}" timeout 600 \
      "./$prog" --gtest_filter="$filter" > "$out" 2>&1)
    rc=$?
    grep -q '^\[==========\] Running 0 tests' "$out" && failed+="no-tests($prog) "
    local names
    names=$(grep -E '^\[  FAILED  \] [A-Za-z0-9_/.]+' "$out" | grep -v ' listed below' |
      awk '{sub(/,$/, "", $4); print $4}' | sort -u | tr '\n' ' ')
    if [ "$rc" -ne 0 ]; then
      if [ -n "$names" ]; then failed+="$names"
      elif [ "$rc" -eq 124 ]; then failed+="hang($prog) "
      else failed+="crash($prog,rc=$rc) "
      fi
    fi
  done
  printf '%s' "$failed"
}

main() {
  mkdir -p "$work"
  sync_copy
  configure || { say "configure failed: $work/configure.log"; exit 2; }
  local want=" $* " made=0 caught=0 survived=0 errors=0
  # Every target once first, so that a fault's build is its own file only.
  local all
  all=$(printf '%s\n' "$FAULTS" | awk -F'|' '{print $3}' | tr ' ' '\n' | sort -u | tr '\n' ' ')
  # shellcheck disable=SC2086
  build_targets $all || { say "the tree does not build: $work/build.log"; exit 2; }
  while IFS='|' read -r id file targets progs filter what script; do
    [ -z "$id" ] && continue
    [ "$#" -gt 0 ] && [[ $want != *" $id "* ]] && continue
    local f=$src/$file
    cp "$f" "$work/orig"
    trap 'cp "$work/orig" "$f"; exit 130' INT TERM
    sed -i -e "$script" "$f"
    if cmp -s "$f" "$work/orig"; then
      say "$id ERROR   $file: the fault does not apply ($what)"
      errors=$((errors + 1))
      continue
    fi
    made=$((made + 1))
    # shellcheck disable=SC2086
    if ! build_targets $targets; then
      say "$id ERROR   $file: the fault does not build ($what)"
      errors=$((errors + 1)); made=$((made - 1))
    else
      local failed
      failed=$(run_tests "$progs" "$filter")
      if [[ $failed == *no-tests\(* ]]; then
        say "$id ERROR   $file: the filter runs no test ($what)"
        errors=$((errors + 1)); made=$((made - 1))
      elif [ -n "$failed" ]; then
        say "$id caught  $file: $what -- $failed"
        caught=$((caught + 1))
      else
        say "$id SURVIVED $file: $what"
        survived=$((survived + 1))
      fi
    fi
    cp "$work/orig" "$f"  # a fresh time stamp: the next build takes it again
    trap - INT TERM
  done <<< "$FAULTS"
  say "$made faults made, $caught caught, $survived survived, $errors errors"
  # Leave the scratch build as the tree is.
  # shellcheck disable=SC2046
  build_targets $all > /dev/null 2>&1 || true
  [ "$survived" -eq 0 ] && [ "$errors" -eq 0 ]
}

main "$@"
