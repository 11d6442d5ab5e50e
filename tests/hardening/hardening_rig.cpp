#include "hardening/hardening_rig.hpp"

#include <unistd.h>

size_t paints(const std::string &out, size_t from)
{
    size_t n = 0;
    for (size_t p = out.find("   interval=", from); p != std::string::npos; p = out.find("   interval=", p + 1)) n++;
    return n;
}

bool drop_link(const NetnsGuard &ns, const std::string &dev, int net)
{
    const std::string n = std::to_string(net);
    return ns.run("sh -c 'ip link add " + dev + " type veth peer name p" + dev + " && ip link set p" + dev +
                  " mtu 1280 up && ip link set " + dev + " up && ip addr add 10." + n + ".0.1/24 dev " + dev +
                  " && ip neigh add 10." + n + ".0.2 lladdr 02:00:00:00:00:02 dev " + dev + "'") == 0;
}

void drop_datagrams(const NetnsGuard &ns, int net, int n)
{
    ns.run("python3 -c 'import socket\ns=socket.socket(2,2)\ns.setsockopt(0,10,0)\nfor i in range(" +
           std::to_string(n) + "): s.sendto(b\"x\"*1400,(\"10." + std::to_string(net) + ".0.2\",9))'");
}

bool wait_for(const std::string &cond, double secs)
{
    for (int i = 0; i < secs * 20; i++) {
        if (sh(cond) == 0) return true;
        ::usleep(50000);
    }
    return false;
}
