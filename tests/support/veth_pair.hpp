// The veth pair the namespace tests send their traffic over.
#pragma once
#include <string>

// Shell text that joins namespace a to namespace b: dev in a with <net>.1/24 and
// p<dev> in b with <net>.2/24, both up. Both ends share the MAC address
// 02:00:00:00:00:<mac> and ARP is off, so the only frames on the pair are the
// test's own datagrams and their answers. extra goes into the "ip link add".
inline std::string quiet_veth(const std::string &a, const std::string &b, const std::string &dev, const std::string &net,
                              int mac, const std::string &extra = "")
{
    const std::string m = " address 02:00:00:00:00:" + std::string(mac < 10 ? "0" : "") + std::to_string(mac);
    const std::string A = "ip -n " + a + " ", B = "ip -n " + b + " ", p = " p" + dev;
    return A + "link add " + dev + m + " " + extra + " type veth peer name" + p + m + " netns " + b + "\n" + A +
           "addr add " + net + ".1/24 dev " + dev + "\n" + B + "addr add " + net + ".2/24 dev" + p + "\n" + A + "link set " +
           dev + " up arp off\n" + B + "link set" + p + " up arp off\n";
}
