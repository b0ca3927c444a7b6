// A Btrfs volume laid out for the boundary tests (root only): subvolumes sv1 and sv2, with
// sv1 mounted at m, the top level at m/top, sv2 at m/in, and m/in/x bound at m/b.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tests/support/TestSupport.h"

struct BtrfsBindLayout {
    hmtest::TempDir work{"hm-btrfs-img"};
    hmtest::TempDir tmp{"hm-btrfs"};
    std::unique_ptr<hmtest::LoopMount> vol;
    hmtest::Mounts mounts;  // declared after vol: unmounted before the volume goes
    std::string top;        // where the whole volume is mounted
    std::string m;          // the scanned folder
    std::string error;

    // Makes the volume and the folders sv1/top, sv1/in, sv1/b and sv2/x, lets fill(top) add files,
    // then mounts. False with `error` set when any step fails.
    bool make(const std::function<void(const std::string& top)>& fill) {
        using hmtest::sh;
        using hmtest::shQuote;
        vol = std::make_unique<hmtest::LoopMount>(work.path(), "mkfs.btrfs -q -f", 128);
        if (!vol->ok())
            return fail(vol->error());
        top = vol->mountPoint();
        if (sh("btrfs -q subvolume create " + shQuote(top + "/sv1") + " >/dev/null && btrfs -q subvolume create " +
               shQuote(top + "/sv2") + " >/dev/null && mkdir -p " + shQuote(top + "/sv1/top") + " " +
               shQuote(top + "/sv1/in") + " " + shQuote(top + "/sv1/b") + " " + shQuote(top + "/sv2/x")) != 0)
            return fail("cannot make the subvolumes");
        fill(top);
        m = tmp / "m";
        if (sh("mkdir " + shQuote(m)) != 0)
            return fail("cannot make " + m);
        const std::string dev = shQuote(vol->device());
        if (!mounts.mount("-o subvol=sv1 " + dev, m) || !mounts.mount("-o subvolid=5 " + dev, m + "/top") ||
            !mounts.mount("-o subvol=sv2 " + dev, m + "/in") || !mounts.bind(m + "/in/x", m + "/b"))
            return fail("cannot mount the subvolumes");
        return true;
    }

private:
    bool fail(const std::string& why) {
        error = why;
        return false;
    }
};
