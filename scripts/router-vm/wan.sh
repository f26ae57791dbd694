# The router's WAN, for the boots that have it (sourced by rcS and the stories): the one
# interface, its address fixed on qemu's user network, and the rule server's name in /etc/hosts
# (qemu forwards that one address, and nothing else, to the host's rule server).
grep -q rules.kiv.invalid /etc/hosts 2>/dev/null || {
  insmod /lib/modules/mii.ko && insmod /lib/modules/pcnet32.ko &&
    ifconfig eth0 10.0.2.15 netmask 255.255.255.0 up &&
    echo "10.0.2.100 rules.kiv.invalid" >>/etc/hosts
}
