# The end-to-end cases, shared by the native and the Wine runs. `native` is set for the native
# run only (cases that need POSIX signals or a second HID device that Wine does not show).
set(success "Update is successful!")
set(try_again "Error，Please try again!")
set(variant "${PROJECT_SOURCE_DIR}/firmware/variant.bin")

# Whole updates of each image: delivered byte for byte, the success text on stdout.
lumo_cli_e2e(whole_variant 7b16 delivered --
  --exit 0 --stdout-has ${success} --stdout-has "100% 988/988 blocks" --
  --allow-stand-in --wait 20)
lumo_cli_e2e(whole_primary_json c3d1 delivered --
  --exit 0 --events "device,start,progress,done" --
  --allow-stand-in --json --wait 20)
# The device plugged in while lumo-flash waits for it: late enough that the program is
# waiting by then, also when Wine takes its time to start it under load.
if(native)
  set(plug_in_ms 6000)
else()
  set(plug_in_ms 12000)
endif()
lumo_cli_e2e(wait_plug_in 7b16 delivered --scenario "plug in after ${plug_in_ms} ms" --
  --exit 0 --stdout-has "Waiting up to 30 s" --stdout-has ${success} --
  --allow-stand-in --wait 30)
# Unplugged mid-update and back 700 ms later: resumed from the saved block, byte for byte, and
# the record names the node the rest went to.
lumo_cli_e2e(unplug_replug 7b16 delivered
  --scenario "unplug after block 300" --scenario "replug after 700 ms" --
  --exit 0 --events "device,start,progress,suspended,device,resumed,progress,done" --
  --allow-stand-in --json --wait 20)
# The same unplug, announced only after the next report was written to the unit that had just
# been pulled: that write fails and the update ends with the warning (no resume), also when
# the unit comes back.
lumo_cli_e2e(unplug_noticed_late 7b16 interrupted
  --scenario "unplug after block 300" --scenario "removal events after 1000 ms"
  --scenario "replug after 700 ms" --
  --exit 1 --events "device,start,progress,failed" --reason write-failed
  --stderr-has ${try_again} --stdout-lacks ${success} --
  --allow-stand-in --json --wait 20)
# Unplugged and never back: a failure after --resume-timeout that says what to do. Under Wine
# the next write usually fails before the removal notice comes (tests/win32/e2e/unplug-race.sh):
# exit 1 all the same, with the warning text instead, and the device needs the update again
# either way.
if(native)
  lumo_cli_e2e(unplug_no_return 7b16 interrupted --scenario "unplug after block 300" --
    --exit 1 --stderr-has "did not come back within 2 s" --stderr-has "needs the update again"
    --stdout-lacks ${success} --
    --allow-stand-in --resume-timeout 2 --wait 20)
else()
  lumo_cli_e2e(unplug_no_return 7b16 interrupted --scenario "unplug after block 300" --
    --exit 1 --stderr-has "put it into update mode again" --stdout-lacks ${success} --
    --allow-stand-in --resume-timeout 2 --wait 20)
  # Another HID device unplugged mid-update: the handle is closed and the device found again
  # at once, so the update goes on from its offset on the new handle, which is reported. This
  # shows the resume under Wine without the race.
  lumo_cli_e2e(unrelated_removal 7b16 delivered
    --scenario "remove unrelated device after block 300" --
    --exit 0 --stdout-has ${success} --stdout-has "Device opened at block" --
    --allow-stand-in --wait 20)
endif()
# A refused write, a stalled write and an unanswered start report.
lumo_cli_e2e(write_refused 7b16 interrupted --scenario "fail block 150" --
  --exit 1 --stderr-has ${try_again} --stdout-lacks ${success} --
  --allow-stand-in --wait 20)
# A write the device holds for a while but takes is no failure: the update goes on. (A write
# held beyond the backend's limit cannot be made here: the emulated node's write blocks inside
# the call, natively in umockdev's preload and under Wine in its HID class driver, so it is
# taken late rather than refused. The limit is shown with the unanswered start report, whose
# read takes the same bounded path.)
lumo_cli_e2e(write_slow 7b16 delivered --scenario "stall block 150 for 700 ms" --
  --exit 0 --stdout-has ${success} -- --allow-stand-in --wait 20)
lumo_cli_e2e(start_unanswered 7b16 no-update --scenario "never answer start" --
  --exit 1 --stderr-has ${try_again} --stdout-lacks ${success} --
  --allow-stand-in --wait 20)
# --image: a good file, a device of the other product, and files that must be refused.
lumo_cli_e2e(image_good 7b16 delivered --
  --exit 0 --stdout-has ${success} --make-file copy --source ${variant} --
  --allow-stand-in --wait 20 --image {FILE} --product 7b16)
lumo_cli_e2e(image_other_product c3d1 no-update --
  --exit 3 --stderr-has "is for product 7b16" --stderr-has "Nothing was written"
  --make-file copy --source ${variant} --
  --allow-stand-in --wait 20 --image {FILE} --product 7b16)
set(kinds empty oversized unreadable)
if(native)
  list(APPEND kinds missing)  # the same refusal as an unreadable file; Wine's start is costly
endif()
foreach(kind IN LISTS kinds)
  lumo_cli_e2e(image_${kind} 7b16 no-update --
    --exit 3 --stderr-has "Nothing was written" --make-file ${kind} --
    --allow-stand-in --wait 20 --image {FILE} --product 7b16)
endforeach()
# --json stays UTF-8 when the image's name is not (Latin-1 here): the failed event names it.
if(native)
  lumo_cli_e2e(image_name_not_utf8 7b16 no-update --
    --exit 3 --events "failed" --make-file missing --file-name "caf\\xe9.bin" --
    --allow-stand-in --json --image {FILE} --product 7b16)
endif()
# Built-in stand-ins without --allow-stand-in: refused at once, the guard's text on stderr.
lumo_cli_e2e(stand_in_refused 7b16 no-update --
  --exit 3 --stderr-has "stand-in images for testing" --within 10 --)

if(native)
  # No device: exit 2 at once.
  lumo_cli_e2e(no_device c3d1 no-update --scenario "plug in after 60000 ms" --
    --exit 2 --stderr-has "The device is not connected!" --within 3 --
    --allow-stand-in)
  # --list with zero, one and two devices.
  lumo_cli_e2e(list_none c3d1 no-update --scenario "plug in after 60000 ms" --
    --exit 0 --stdout-lines 0 -- --list)
  lumo_cli_e2e(list_one c3d1 no-update --
    --exit 0 --stdout-lines 1 --stdout-has "pid_c3d1" --stdout-has "image 109375 bytes" -- --list)
  lumo_cli_e2e(list_two c3d1 no-update --scenario "second device" --
    --exit 0 --stdout-lines 2 --stdout-has "product c3d1" --stdout-has "product 7b16"
    --stdout-has "image 55292 bytes" -- --list)
  # Several units of product 7b16 on ports 1-2 and 1-3. Ours is pulled after block 300 and
  # back 2 s later while the other stays: the update goes on on ours alone, byte for byte, and
  # the other gets nothing (its verdict: no update). The other arrives once ours has taken
  # block 100 (so no --device is needed) or is there from the start (with --device).
  set(two_units --scenario "device at 1-2 no serial" --scenario "unit b 7b16 at 1-3")
  set(ours_pulled --scenario "unplug after block 300" --scenario "replug after 2000 ms")
  lumo_cli_e2e(units_ours_pulled_other_arrived 7b16 delivered ${two_units}
    --scenario "plug in unit b after block 100" ${ours_pulled} --
    --exit 0 --events "device,start,progress,suspended,device,resumed,progress,done" --
    --allow-stand-in --json --wait 20 --resume-timeout 10)
  lumo_cli_e2e(units_ours_pulled_device 7b16 delivered ${two_units} ${ours_pulled} --
    --exit 0 --stdout-has ${success} --
    --allow-stand-in --wait 20 --resume-timeout 10 --device 1-2)
  # --device picks the other unit by its serial: it gets the update, ours nothing.
  lumo_cli_e2e(units_device_by_serial 7b16 no-update --scenario "device at 1-2"
    --scenario "unit b c3d1 at 1-3.4 serial M8P-000304" --scenario "expect unit b delivered" --
    --exit 0 --stdout-has ${success} -- --allow-stand-in --wait 20 --device M8P-000304)
  # Two units and no --device: exit 2 before anything is written, with what to type.
  lumo_cli_e2e(units_need_a_choice 7b16 no-update ${two_units} --
    --exit 2 --stderr-has "2 units in update mode are present" --stderr-has "lumo-flash --device 1-2"
    --stderr-has "lumo-flash --device 1-3" --stdout-lacks ${success} --within 10 --
    --allow-stand-in)
  # --list --json: each unit's ID, port and serial (null when it has none).
  lumo_cli_e2e(units_list_json 7b16 no-update ${two_units}
    --scenario "unit c c3d1 at 1-4.1 serial M8P-000401" --
    --exit 0 --stdout-lines 3 --stdout-has "\"id\":\"1-2\"" --stdout-has "\"port\":\"1-3\",\"serial\":null"
    --stdout-has "\"id\":\"M8P-000401\"" --stdout-has "\"port\":\"1-4.1\",\"serial\":\"M8P-000401\"" --
    --list --json)
  # --all: both units at once on one timer, ours pulled and back meanwhile; each byte for byte,
  # a closing line per unit.
  lumo_cli_e2e(units_all 7b16 delivered --scenario "device at 1-2 no serial"
    --scenario "unit b c3d1 at 1-3 serial M8P-000303" --scenario "expect unit b delivered"
    ${ours_pulled} --
    --exit 0 --stdout-has "{\"event\":\"unit-result\",\"unit\":\"1-2\",\"product\":\"7b16\",\"exit\":0"
    --stdout-has "{\"event\":\"unit-result\",\"unit\":\"M8P-000303\",\"product\":\"c3d1\",\"exit\":0"
    --stdout-has "{\"unit\":\"1-2\",\"event\":\"resumed\"" --
    --allow-stand-in --json --all --resume-timeout 10)
  # --all --wait with no unit at the start: both units plugged in together while it waits are
  # updated, each byte for byte.
  lumo_cli_e2e(units_all_wait 7b16 delivered --scenario "device at 1-2 no serial"
    --scenario "unit b c3d1 at 1-3 serial M8P-000303" --scenario "expect unit b delivered"
    --scenario "plug in after 3000 ms" --scenario "plug in unit b after 3000 ms" --
    --exit 0 --stdout-has "Waiting up to 20 s"
    --stdout-has "[1-2] ${success}" --stdout-has "[M8P-000303] ${success}" --
    --allow-stand-in --all --wait 20)
  # --wait without --device: a second unit plugged in just after the first one, before the
  # run chooses, makes it refuse with the list and write nothing.
  lumo_cli_e2e(units_wait_two_plugged_in 7b16 no-update --scenario "device at 1-2 no serial"
    --scenario "plug in after 3000 ms" --scenario "unit b 7b16 at 1-3"
    --scenario "plug in unit b after 3100 ms" --
    --exit 2 --stderr-has "2 units in update mode are present" --stderr-has "lumo-flash --device 1-3"
    --stdout-lacks ${success} -- --allow-stand-in --wait 20)
  # --station, units plugged in one after another: 1-2 (there from the start) fails at block
  # 150 and stays plugged in: it is not taken again (its verdict would be "delivered"); unit b
  # comes while it runs and is pulled mid-update and back (resumed, not taken as new); unit c
  # comes later. Ctrl-C with nothing under way ends the station with the tally and the first
  # failure's status.
  lumo_cli_e2e(station 7b16 interrupted --scenario "device at 1-2 no serial"
    --scenario "fail block 150"
    --scenario "unit b 7b16 at 1-3 serial M8P-000303" --scenario "plug in unit b after 1000 ms"
    --scenario "unplug unit b after block 300" --scenario "replug after 1500 ms"
    --scenario "expect unit b delivered"
    --scenario "unit c 7b16 at 1-4.1" --scenario "plug in unit c after 6000 ms"
    --scenario "expect unit c delivered" --
    --exit 1 --interrupt when --interrupt-when " result: " --interrupt-count 3
    --stdout-has "[1-2] result: failed (needs the update again) (exit 1)"
    --stdout-has "[M8P-000303] result: updated (exit 0)" --stdout-has "[1-4.1] result: updated (exit 0)"
    --stdout-has "[M8P-000303] Device opened at block"
    --stdout-has "Station ended: 2 updated, 1 failed" --stderr-has ${try_again} --
    --allow-stand-in --station --resume-timeout 10)
  # Twins: two units that report one fixed serial. --list shows each, named by its port.
  set(twins --scenario "device at 1-2 serial M8-BOOT" --scenario "unit b 7b16 at 1-3 serial M8-BOOT")
  lumo_cli_e2e(twins_list 7b16 no-update ${twins} --
    --exit 0 --stdout-lines 2 --stdout-has "\"id\":\"1-2\"" --stdout-has "\"id\":\"1-3\"" --
    --list --json)
  # Ours pulled for good at block 300: the stream never goes on on its twin, present all along
  # (it used to, without a start report, and said the update was successful).
  lumo_cli_e2e(twins_ours_pulled 7b16 interrupted ${twins} --scenario "unplug after block 300" --
    --exit 1 --stdout-lacks ${success} --stderr-has "did not come back within 3 s" --
    --allow-stand-in --device 1-2 --resume-timeout 3)
  # --all updates both, each byte for byte.
  lumo_cli_e2e(twins_all 7b16 delivered ${twins} --scenario "expect unit b delivered" --
    --exit 0 --stdout-has "[1-2] ${success}" --stdout-has "[1-3] ${success}" --
    --allow-stand-in --all)
  # A station stopped by one Ctrl-C while its unit waits out its pause before the start
  # report: the unit is left untouched and the station ends with 0.
  lumo_cli_e2e(station_stop_in_pause 7b16 no-update --
    --exit 0 --interrupt on-stderr --interrupt-on-stderr "lumo-flash: station:"
    --stdout-has "result: not started" --stdout-has "Station ended: 0 updated, 0 failed" --
    --allow-stand-in --station)
  # One Ctrl-C mid-stream: the unit finishes byte for byte, then the station ends with 0.
  lumo_cli_e2e(station_stop_mid_stream 7b16 delivered --
    --exit 0 --interrupt when --interrupt-when "30% "
    --stderr-has "finish first" --stdout-has "Station ended: 1 updated, 0 failed" --
    --allow-stand-in --station)
  # A unit that never answers its start report holds only itself: the other one streams on
  # meanwhile (its progress events keep coming until the silent one's failure, 5 s later).
  lumo_cli_e2e(units_one_silent 7b16 delivered --scenario "device at 1-2 no serial"
    --scenario "unit b 7b16 at 1-3 serial M8V-000303" --scenario "unit b never answers start" --
    --exit 1 --lines-between "\"unit\":\"M8V-000303\",\"event\":\"device\""
    "\"unit\":\"M8V-000303\",\"event\":\"failed\"" "\"unit\":\"1-2\",\"event\":\"progress\"" 20 --
    --allow-stand-in --all --json)
  # Records: a station with units on two ports leaves one record per unit, with its serial,
  # port, image SHA-256 and outcome; the failed unit's has its reason, the unit pulled and back
  # counts one resume.
  set(variant_sha256 d00c9c87a55c12902f6cdac684767ab4c927f1ed3115d1a2a765b866034ea5b6)
  lumo_cli_e2e(records_station 7b16 interrupted --scenario "device at 1-2 serial M8V-000201"
    --scenario "fail block 150"
    --scenario "unit b 7b16 at 1-3 serial M8V-000202" --scenario "plug in unit b after 1000 ms"
    --scenario "unplug unit b after block 300" --scenario "replug after 1500 ms"
    --scenario "expect unit b delivered" --
    --exit 1 --interrupt when --interrupt-when " result: " --interrupt-count 2 --records-count 2
    --record "unit=M8V-000201,port=1-2,serial=M8V-000201,outcome=failed,reason=write-failed,exit=1,image=built-in variant,image_sha256=${variant_sha256},stand_in=true"
    --record "unit=M8V-000202,port=1-3,outcome=updated,reason=null,resumes=1,blocks_written=988,blocks=988,exit=0" --
    --allow-stand-in --station --station-name line-3 --resume-timeout 10)
  # lumo-flash killed mid-update: the next run that opens the store shows the attempt as
  # interrupted, never as still running.
  lumo_cli_e2e(records_killed 7b16 interrupted --
    --exit -9 --kill-when " 20% " --records-count 1 --record "outcome=interrupted,unit=M8V-000101" --
    --allow-stand-in)
  # A records target that cannot be opened is refused before anything is written: exit 3.
  lumo_cli_e2e(records_missing_folder 7b16 no-update --
    --exit 3 --stderr-has "records" -- --allow-stand-in --records /nonexistent/folder/records.db)
  lumo_cli_e2e(records_not_a_database 7b16 no-update --
    --exit 3 --make-file copy --source ${variant} --stderr-has "records" --
    --allow-stand-in --records {FILE})
  lumo_cli_e2e(records_malformed_url 7b16 no-update --
    --exit 3 --stderr-has "records" -- --allow-stand-in --records "postgresql://[bad")
  # Ctrl-C: the first during an update warns and the update goes on; the second aborts (130).
  lumo_cli_e2e(interrupt_two_step 7b16 interrupted --
    --exit 130 --interrupt two-step --stderr-has "Aborted by the user" --stdout-lacks ${success} --
    --allow-stand-in)
  # Outside an update the first Ctrl-C ends the run.
  lumo_cli_e2e(interrupt_waiting 7b16 no-update --scenario "plug in after 60000 ms" --
    --exit 130 --interrupt waiting --within 5 -- --allow-stand-in --wait 50)
endif()
