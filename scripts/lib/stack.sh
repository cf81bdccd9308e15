#!/usr/bin/env bash
# The local provider stack used by the end-to-end tests and the demo:
#   - a test PKI made with openssl (CA, the VPN server's certificate, the account stand-in's certificate);
#   - an OpenVPN server in the network namespace "qn-e2e-srv", reached from the host through the veth pair
#     qn-e2e-h0 (10.203.0.1/24, host) <-> qn-e2e-s0 (10.203.0.2/24, namespace), udp 10.203.0.2:1194, checking
#     user names and passwords against DIR/accounts; the tunnel network is 10.204.0.0/24, the server is
#     10.204.0.1 and answers one fixed line on tcp 10.204.0.1:7777 (proof that traffic crossed the tunnel);
#   - the HTTPS account stand-in on https://127.0.0.1:47443/api/, serving DIR/client.ovpn as the profile;
#   - with --with-helper, the helper daemon of BUILD on its default socket /run/com.quellnet.macos.helper.sock,
#     run from root-owned copies in /run/quellnet-e2e (root and, with --allow-user, USER may use it).
#
# Where the program's side lives (its helper daemon, openvpn and the tun device, the account stand-in):
#   - by default (the demo) in the host's network namespace, behind qn-e2e-h0 10.203.0.1; the server then
#     pushes neither name servers nor a default route, so nothing of the machine's name resolution or routes
#     changes;
#   - with --client-netns (the tests) in a machine of the stack's own: the network namespace "qn-e2e-cli"
#     together with a mount namespace in which /etc is a private overlay, so that the helper's scripts
#     change that /etc/resolv.conf and never the machine's. It sits on a LAN, qn-e2e-l0 10.205.0.2/24 and
#     2001:db8:205::2/64, whose router (namespace "qn-e2e-lan", 10.205.0.1) is its default route for IPv4
#     and IPv6: the router forwards IPv4 to the server through qn-e2e-h0 10.203.0.1 (the "internet"), runs
#     the LAN's name server (the machine's resolv.conf names it) and has an IPv6 host on
#     [2001:db8:206::80]:8080. The server pushes redirect-gateway def1 and its own name server, 10.204.0.1,
#     inside the tunnel. Both name servers answer leak-check.quellnet.test, each with its own address
#     (the tunnel's 10.204.0.1, the LAN's 10.205.0.1). `stack.sh exec DIR -- COMMAND` runs a command on
#     that machine. It also has two local users of its own, qn-e2e-user-a and qn-e2e-user-b, whom the
#     helper serves besides root, and a second OpenVPN server waits in the server's namespace (udp
#     10.203.0.2:1195, tunnel network 10.207.0.0/24) whose password check records every user name and
#     password it receives: a server of one of those users' own.
#
# As a command (root):
#   stack.sh up DIR [--build BUILD] [--with-helper] [--allow-user USER] [--client-netns]
#   stack.sh exec DIR -- COMMAND [ARG...]   (on the program's side: in the client namespaces, if any)
#   stack.sh down DIR
#   stack.sh status DIR
#   stack.sh pki DIR          (only the PKI, no root needed)
#   stack.sh helper-up DIR [--build BUILD] [--allow-user USER]    (only the helper daemon, (re)started)
#   stack.sh helper-down DIR
# BUILD defaults to DIR/.. (the stack lives in <build>/e2e); the stand-in is BUILD/tests/bin/quellnet-account-standin.
#
# Sourced, it defines stack_up, stack_down, stack_status, stack_pki and stack_exec with the same arguments, and
# helper_up DIR BUILD [USER] and helper_down DIR; they return non-zero on failure and never exit the
# caller's shell. stack_down and helper_down never fail.
#
# What DIR holds after `up`:
#   pki/ca.crt ...      the test CA (world-readable) and the certificates; keys are readable by root only
#   accounts            one "email<TAB>password" line per account; the first is the demo account
#   client.ovpn         the client profile for the server (what the stand-in serves as "config")
#   second-client.ovpn  with --client-netns: the client profile for the second server
#   stack.env           the names, addresses and ports above as shell assignments
#   log/                the server's, the stand-in's, the tunnel listener's, the password check's, the name
#                       servers', the LAN listener's and the helper's logs
# `down` removes the processes, the namespaces and the veth pairs, and keeps the files for a post-mortem;
# the next `up` replaces them.
# shellcheck shell=bash

stack_netns=qn-e2e-srv
stack_veth_host=qn-e2e-h0
stack_veth_ns=qn-e2e-s0
stack_server_tun=qn-e2e-stun
stack_host_addr=10.203.0.1
stack_server_addr=10.203.0.2
stack_server_port=1194
stack_tunnel_net=10.204.0.0
stack_tunnel_server=10.204.0.1
stack_probe_port=7777
stack_probe_line=quellnet-e2e-tunnel-ok
stack_standin_port=47443
stack_demo_email="demo@quellnet.test"
stack_demo_password="quellnet-demo"
# Blanks, a double quote and a backslash: what a management command or a shell line gets wrong
# unless it quotes properly.
stack_tricky_email="tricky@quellnet.test"
stack_tricky_password='Quote" Back\slash 7'
# Which DIR the one system-wide stack (namespace, veth pair, ports) belongs to.
stack_owner_file=/run/quellnet-e2e-stack.owner
# The program's machine of the tests (--client-netns) and its LAN.
stack_client_netns=qn-e2e-cli
stack_client_home=/run/quellnet-e2e-client # its mount namespace, bound to $stack_client_home/mnt
stack_lan_netns=qn-e2e-lan
stack_veth_lan=qn-e2e-l0 # the machine's end
stack_veth_lan_peer=qn-e2e-l1 # the router's end
stack_lan_addr=10.205.0.1
stack_lan_client_addr=10.205.0.2
stack_lan6_addr=2001:db8:205::1
stack_lan6_client_addr=2001:db8:205::2
stack_lan6_listener=2001:db8:206::80
stack_lan6_port=8080
stack_lan6_line=quellnet-e2e-lan-ipv6-ok
stack_dns_name=leak-check.quellnet.test
# With --client-netns: the program's machine's own users, and the second server with its one account.
stack_test_user_a=qn-e2e-user-a
stack_test_user_b=qn-e2e-user-b
stack_test_user_comment="quellnet e2e test"
stack_second_port=1195
stack_second_tun=qn-e2e-stun2
stack_second_net=10.207.0.0
stack_second_email="second@quellnet.test"
stack_second_password="quellnet-second"

stack__self=$(readlink -f "${BASH_SOURCE[0]}")
stack__repo=$(cd "$(dirname "$stack__self")/../.." && pwd)

stack__say() { printf 'stack: %s\n' "$*" >&2; }

# Waits until the command succeeds, polling every 50 ms, for at most the given seconds.
stack__wait_for() {
    local seconds=$1
    shift
    local tries=$((seconds * 20))
    while [ "$tries" -gt 0 ]; do
        "$@" && return 0
        sleep 0.05
        tries=$((tries - 1))
    done
    return 1
}

stack__abs() { readlink -m -- "$1"; }

# The stack's daemons keep no descriptor of whoever started them beyond the standard three: above all
# not the test lock that flock(1) hands down, which they would otherwise hold for as long as they run.
stack__close_fds() {
    local fd
    for fd in /proc/"$BASHPID"/fd/*; do
        fd=${fd##*/}
        [ "$fd" -gt 2 ] 2>/dev/null && eval "exec $fd>&-" 2>/dev/null
    done
    return 0
}

# Runs a daemon in a session of its own with no inherited descriptors; start it with & and
# redirections, and $! is its pid.
stack__daemon() {
    stack__close_fds
    exec setsid "$@"
}

# A zombie counts as ended: whoever reaps the stack's orphans may take its time.
stack__pid_alive() {
    local stat
    [ -n "$1" ] && stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat:0:1}" != "Z" ]
}

stack__read_pid() {
    local pid=""
    [ -r "$1" ] && read -r pid <"$1" 2>/dev/null
    case "$pid" in '' | *[!0-9]*) pid="" ;; esac
    printf '%s' "$pid"
}

# True when one argument of the process is exactly the given text (or begins with it, when the text
# ends in " *"), or, for an absolute path, names that file relative to the process's working directory.
stack__has_arg() {
    local pid=$1 want=$2 arg cwd
    [ -r "/proc/$pid/cmdline" ] || return 1
    while IFS= read -r -d '' arg; do
        [ "$arg" == "$want" ] && return 0
        [[ "$want" == *" *" && "$arg" == "${want%\*}"* ]] && return 0
        if [[ "$want" == /* && "$arg" != /* && "$arg" == *"${want##*/}" ]]; then
            cwd=$(readlink "/proc/$pid/cwd" 2>/dev/null) || continue
            [ "$(readlink -m -- "$cwd/$arg")" == "$want" ] && return 0
        fi
    done <"/proc/$pid/cmdline"
    return 1
}

stack__in_netns() {
    local pid=$1 ns=${2:-$stack_netns}
    [ "$(ip netns identify "$pid" 2>/dev/null)" == "$ns" ]
}

# SIGTERM, then SIGKILL after 5 s.
stack__stop_pid() {
    local pid=$1
    stack__pid_alive "$pid" || return 0
    kill -TERM "$pid" 2>/dev/null || true
    stack__wait_for 5 eval "! stack__pid_alive $pid" && return 0
    kill -KILL "$pid" 2>/dev/null || true
    stack__wait_for 2 eval "! stack__pid_alive $pid" || true
}

# Stops the process of a pid file, but only when it still is the process that we started there
# (its command line holds the marker argument, or it lives in the namespace that "@netns:NAME" names),
# so that a stale pid file never ends a stranger that got the same pid.
stack__stop_pidfile() {
    local file=$1 marker=$2 pid
    pid=$(stack__read_pid "$file")
    if [ -n "$pid" ] && stack__pid_alive "$pid"; then
        if { [[ "$marker" == @netns:* ]] && stack__in_netns "$pid" "${marker#@netns:}"; } || stack__has_arg "$pid" "$marker"; then
            stack__stop_pid "$pid"
        fi
    fi
    rm -f -- "$file"
}

# Processes (other than the caller) that carry one of the given arguments exactly.
stack__pids_with_arg() {
    local entry pid want
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        [ "$pid" == "$$" ] || [ "$pid" == "$BASHPID" ] && continue
        for want in "$@"; do
            if stack__has_arg "$pid" "$want"; then
                printf '%s\n' "$pid"
                break
            fi
        done
    done
}

stack__netns_exists() { ip netns list 2>/dev/null | grep -qE "^${1:-$stack_netns}( |\$)"; }

# The DIR of the stack that currently owns the namespace and the ports, when its server still runs.
stack__live_owner() {
    local owner="" pid
    [ -r "$stack_owner_file" ] && IFS= read -r owner <"$stack_owner_file"
    [ -n "$owner" ] || return 0
    pid=$(stack__read_pid "$owner/run/server.pid")
    if stack__pid_alive "$pid" && stack__has_arg "$pid" "$owner/server/server.conf"; then
        printf '%s' "$owner"
    fi
}

stack__need_root() {
    if [ "$(id -u)" -ne 0 ]; then
        stack__say "must run as root (network namespaces, openvpn)"
        return 1
    fi
}

stack__need_tools() {
    local tool missing=()
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        stack__say "missing programs: ${missing[*]} (scripts/lib/common.sh lists the packages)"
        return 1
    fi
}

# ---------------------------------------------------------------------------------------------------------
# PKI

stack__leaf_cert() {
    local dir=$1 name=$2 cn=$3 extra=$4 ext
    ext=$(mktemp) || return 1
    {
        echo "basicConstraints=critical,CA:FALSE"
        echo "keyUsage=critical,digitalSignature,keyAgreement"
        echo "extendedKeyUsage=serverAuth"
        echo "subjectKeyIdentifier=hash"
        echo "authorityKeyIdentifier=keyid"
        [ -n "$extra" ] && echo "$extra"
    } >"$ext"
    (umask 077 && openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$dir/$name.key" -out "$dir/$name.csr" -subj "/CN=$cn" 2>/dev/null) &&
        openssl x509 -req -in "$dir/$name.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
            -set_serial "0x$(openssl rand -hex 8)" -days 7 -extfile "$ext" -out "$dir/$name.crt" 2>/dev/null
    local rc=$?
    rm -f -- "$ext" "$dir/$name.csr"
    [ $rc -eq 0 ] || stack__say "could not make the certificate $dir/$name.crt"
    return $rc
}

# Makes a fresh test PKI in DIR: ca.crt/ca.key, server.crt/server.key (the VPN server, CN "quellnet-e2e-server"),
# standin.crt/standin.key (the account stand-in, for IP 127.0.0.1 and localhost). Seven days' validity.
stack_pki__impl() {
    local dir
    dir=$(stack__abs "${1:?stack_pki DIR}")
    stack__need_tools openssl || return 1
    mkdir -p -- "$dir" || return 1
    chmod 755 -- "$dir"
    rm -f -- "$dir"/ca.* "$dir"/server.* "$dir"/standin.*
    (umask 077 && openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
        -keyout "$dir/ca.key" -out "$dir/ca.crt" -days 7 -subj "/CN=Quellnet e2e test CA" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash" 2>/dev/null) || {
        stack__say "could not make the test CA in $dir"
        return 1
    }
    stack__leaf_cert "$dir" server quellnet-e2e-server "" || return 1
    stack__leaf_cert "$dir" standin localhost "subjectAltName=IP:127.0.0.1,DNS:localhost" || return 1
    chmod 644 -- "$dir/ca.crt" "$dir/server.crt" "$dir/standin.crt"
    chmod 600 -- "$dir/ca.key" "$dir/server.key" "$dir/standin.key"
}

# ---------------------------------------------------------------------------------------------------------
# Files

stack__write_accounts() {
    local dir=$1
    printf '%s\t%s\n' "$stack_demo_email" "$stack_demo_password" "$stack_tricky_email" "$stack_tricky_password" \
        >"$dir/accounts" || return 1
    chmod 644 -- "$dir/accounts"
}

# Only plain directives: the helper daemon that runs this profile as root refuses anything that runs
# a program or reads or writes a file.
# Usage: stack__write_client_profile <dir> [<server port> <profile>]  (default: the first server's,
# <dir>/client.ovpn)
stack__write_client_profile() {
    local dir=$1 port=${2:-$stack_server_port} profile=${3:-$1/client.ovpn}
    {
        echo "client"
        echo "dev tun"
        echo "proto udp"
        echo "remote $stack_server_addr $port"
        echo "nobind"
        echo "auth-user-pass"
        echo "remote-cert-tls server"
        echo "verb 3"
        echo "<ca>"
        cat "$dir/pki/ca.crt"
        echo "</ca>"
    } >"$profile" || return 1
    chmod 644 -- "$profile"
}

# A test server's openvpn configuration, <srv>/server.conf: on the stack's server address, with the
# stack's certificates and <srv>/verify-user as its password check.
# Usage: stack__server_conf <dir> <srv> <port> <tun device> <tunnel network>
stack__server_conf() {
    local dir=$1 srv=$2 port=$3 tun=$4 net=$5
    cat >"$srv/server.conf" <<EOF
local $stack_server_addr
port $port
proto udp
dev $tun
dev-type tun
topology subnet
server $net 255.255.255.0
ca $dir/pki/ca.crt
cert $dir/pki/server.crt
key $dir/pki/server.key
dh none
verify-client-cert none
username-as-common-name
script-security 2
auth-user-pass-verify $srv/verify-user via-file
tmp-dir $srv/tmp
keepalive 10 60
verb 3
EOF
}

stack__write_server() {
    local dir=$1 client_netns=$2 srv=$1/server
    mkdir -p -- "$srv/tmp" || return 1
    chmod 700 -- "$srv" "$srv/tmp"
    # openvpn writes the user name and the password to a temporary file (one a line) and passes its
    # path. Compared byte for byte: no word splitting, no escapes, no patterns.
    cat >"$srv/verify-user" <<EOF || return 1
#!/bin/bash
accounts=$(printf '%q' "$dir/accounts")
log=$(printf '%q' "$dir/log/verify.log")
{ IFS= read -r user && { IFS= read -r pass || [ -n "\$pass" ]; }; } <"\$1" || exit 1
while IFS= read -r line || [ -n "\$line" ]; do
    if [[ "\${line%%\$'\t'*}" == "\$user" && "\${line#*\$'\t'}" == "\$pass" ]]; then
        printf 'accepted %s\n' "\$user" >>"\$log"
        exit 0
    fi
done <"\$accounts"
printf 'refused %s\n' "\$user" >>"\$log"
exit 1
EOF
    chmod 700 -- "$srv/verify-user"
    stack__server_conf "$dir" "$srv" "$stack_server_port" "$stack_server_tun" "$stack_tunnel_net" || return 1
    # A full tunnel with its own name server, only where the program's side is a machine of the
    # stack's own: on the host it would take the machine's routes and name resolution.
    if [ "$client_netns" -eq 1 ]; then
        cat >>"$srv/server.conf" <<EOF || return 1
push "redirect-gateway def1"
push "dhcp-option DNS $stack_tunnel_server"
push "dhcp-option DOMAIN quellnet.test"
EOF
    fi
}

stack__write_env() {
    local dir=$1
    # Plain KEY=VALUE lines; only the paths can need shell quoting, the rest never does.
    cat >"$dir/stack.env" <<EOF
STACK_DIR=$(printf '%q' "$dir")
STACK_NETNS=$stack_netns
STACK_VETH_HOST=$stack_veth_host
STACK_VETH_NS=$stack_veth_ns
STACK_HOST_ADDR=$stack_host_addr
STACK_SERVER_ADDR=$stack_server_addr
STACK_SERVER_PORT=$stack_server_port
STACK_TUNNEL_NET=$stack_tunnel_net/24
STACK_TUNNEL_SERVER=$stack_tunnel_server
STACK_PROBE_PORT=$stack_probe_port
STACK_PROBE_LINE=$stack_probe_line
STACK_ACCOUNT_URL=https://127.0.0.1:$stack_standin_port/api/
STACK_CA=$(printf '%q' "$dir/pki/ca.crt")
STACK_PROFILE=$(printf '%q' "$dir/client.ovpn")
STACK_ACCOUNTS=$(printf '%q' "$dir/accounts")
STACK_HELPER_SOCKET=$stack_helper_socket
STACK_HELPER_SCRIPTS=$stack_helper_home/scripts
STACK_HELPER_RUNTIME=$stack_helper_home/runtime
EOF
    [ -e "$stack_client_home/mnt.inode" ] || return 0
    cat >>"$dir/stack.env" <<EOF
STACK_CLIENT_NETNS=$stack_client_netns
STACK_LAN_NETNS=$stack_lan_netns
STACK_LAN_DNS=$stack_lan_addr
STACK_DNS_NAME=$stack_dns_name
STACK_DNS_TUNNEL_ANSWER=$stack_tunnel_server
STACK_DNS_LAN_ANSWER=$stack_lan_addr
STACK_LAN6_LISTENER=$stack_lan6_listener
STACK_LAN6_PORT=$stack_lan6_port
STACK_LAN6_LINE=$stack_lan6_line
EOF
    stack__client_prefix
    local user_a user_b
    user_a=$("${stack__client_cmd[@]}" id -u -- "$stack_test_user_a" 2>/dev/null) &&
        user_b=$("${stack__client_cmd[@]}" id -u -- "$stack_test_user_b" 2>/dev/null) || return 0
    cat >>"$dir/stack.env" <<EOF
STACK_TEST_USER_A=$stack_test_user_a
STACK_TEST_USER_A_UID=$user_a
STACK_TEST_USER_B=$stack_test_user_b
STACK_TEST_USER_B_UID=$user_b
STACK_SECOND_PROFILE=$(printf '%q' "$dir/second-client.ovpn")
STACK_SECOND_EMAIL=$stack_second_email
STACK_SECOND_PASSWORD=$stack_second_password
STACK_SECOND_VERIFY_LOG=$(printf '%q' "$dir/log/second-verify.log")
STACK_SECOND_TUNNEL_NET=$stack_second_net/24
EOF
    chmod 644 -- "$dir/stack.env"
}

stack__tail_log() {
    local file=$1
    [ -s "$file" ] || return 0
    stack__say "last lines of $file:"
    tail -n 15 -- "$file" | sed 's/^/    /' >&2
}

# ---------------------------------------------------------------------------------------------------------
# Network and processes

# The server's namespace and its link to the program's side: the host itself, or (client namespaces)
# the LAN's router, which the program's machine reaches the internet through.
stack__make_network() {
    local client_netns=$1
    ip netns add "$stack_netns" &&
        ip link add "$stack_veth_host" type veth peer name "$stack_veth_ns" &&
        ip link set "$stack_veth_ns" netns "$stack_netns" &&
        ip -n "$stack_netns" addr add "$stack_server_addr/24" dev "$stack_veth_ns" &&
        ip -n "$stack_netns" link set "$stack_veth_ns" up &&
        ip -n "$stack_netns" link set lo up || return 1
    if [ "$client_netns" -eq 1 ]; then
        stack__make_lan && stack__make_client_network && stack__make_client_mounts
    else
        ip addr add "$stack_host_addr/24" dev "$stack_veth_host" && ip link set "$stack_veth_host" up
    fi
}

# The LAN's router: the server's link on one side (10.203.0.1, as the host has it without client
# namespaces), the LAN on the other; it forwards IPv4 between them, runs the LAN's name server and
# has an IPv6 host behind it. Nothing routes the tunnel's network (10.204.0.0/24) but the tunnel.
stack__make_lan() {
    local ns=$stack_lan_netns
    ip netns add "$ns" &&
        ip netns exec "$ns" sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.default.accept_dad=0 \
            net.ipv6.conf.all.accept_dad=0 &&
        ip link set "$stack_veth_host" netns "$ns" &&
        ip -n "$ns" addr add "$stack_host_addr/24" dev "$stack_veth_host" &&
        ip -n "$ns" link set "$stack_veth_host" up &&
        ip -n "$ns" link set lo up &&
        ip -n "$ns" -6 addr add "$stack_lan6_listener/128" dev lo &&
        ip -n "$stack_netns" route add "${stack_lan_addr%.*}.0/24" via "$stack_host_addr"
}

# The program's machine: on the LAN only; its default routes, IPv4 and IPv6, lead to the LAN's router.
stack__make_client_network() {
    local ns=$stack_client_netns lan=$stack_lan_netns
    ip netns add "$ns" &&
        ip netns exec "$ns" sysctl -qw net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.all.accept_dad=0 &&
        ip link add "$stack_veth_lan" type veth peer name "$stack_veth_lan_peer" &&
        ip link set "$stack_veth_lan" netns "$ns" &&
        ip link set "$stack_veth_lan_peer" netns "$lan" &&
        ip -n "$lan" addr add "$stack_lan_addr/24" dev "$stack_veth_lan_peer" &&
        ip -n "$lan" -6 addr add "$stack_lan6_addr/64" dev "$stack_veth_lan_peer" nodad &&
        ip -n "$lan" link set "$stack_veth_lan_peer" up &&
        ip -n "$ns" addr add "$stack_lan_client_addr/24" dev "$stack_veth_lan" &&
        ip -n "$ns" -6 addr add "$stack_lan6_client_addr/64" dev "$stack_veth_lan" nodad &&
        ip -n "$ns" link set "$stack_veth_lan" up &&
        ip -n "$ns" link set lo up &&
        ip -n "$ns" route add default via "$stack_lan_addr" &&
        ip -n "$ns" -6 route add default via "$stack_lan6_addr"
}

# A mount namespace for the program's machine, kept by a bind mount on $stack_client_home/mnt: /etc
# there is an overlay of the machine's /etc whose changes land in a tmpfs, and its resolv.conf (a
# plain file) names the LAN's name server.
# shellcheck disable=SC2016 # the inner shell expands its own arguments
stack__make_client_mounts() {
    local home=$stack_client_home
    mkdir -p -- "$home" &&
        mount --bind "$home" "$home" &&
        mount --make-private "$home" &&
        mkdir -p -- "$home/etc" &&
        touch "$home/mnt" &&
        unshare --mount="$home/mnt" --propagation private -- sh -ec '
            mount -t tmpfs qn-e2e-etc "$1/etc"
            mkdir "$1/etc/upper" "$1/etc/work"
            mount -t overlay qn-e2e-etc -o "lowerdir=/etc,upperdir=$1/etc/upper,workdir=$1/etc/work" /etc
            rm -f /etc/resolv.conf
            printf "nameserver %s\n" "$2" >/etc/resolv.conf
            chmod 644 /etc/resolv.conf' sh "$home" "$stack_lan_addr" &&
        stat -L -c %i "$home/mnt" >"$home/mnt.inode"
}

stack__remove_client_mounts() {
    local home=$stack_client_home
    [ -d "$home" ] || return 0
    umount "$home/mnt" 2>/dev/null
    umount "$home" 2>/dev/null
    rm -rf -- "$home"
}

# True on the program's side: in the client namespaces of a stack that has them, anywhere otherwise.
stack__in_client() {
    local inode=""
    [ -r "$stack_client_home/mnt.inode" ] || return 0
    read -r inode <"$stack_client_home/mnt.inode"
    [ "$(stat -L -c %i /proc/self/ns/mnt)" == "$inode" ]
}

# Sets stack__client_cmd to the prefix that runs a command on the program's side.
stack__client_prefix() {
    stack__client_cmd=()
    if ! stack__in_client; then
        stack__client_cmd=(nsenter "--net=/run/netns/$stack_client_netns" "--mount=$stack_client_home/mnt" "--wd=$PWD" --)
    fi
}

# The network namespace of the program's side ("" for the host's).
stack__client_ns() {
    if [ -e "$stack_client_home/mnt.inode" ]; then printf '%s' "$stack_client_netns"; fi
}

stack__server_ready() {
    grep -q "Initialization Sequence Completed" "$1/log/server.log" 2>/dev/null
}

stack__server_running() {
    local pid
    pid=$(stack__read_pid "$1/run/server.pid")
    # Until openvpn has written its pid file it is still starting.
    [ -z "$pid" ] && return 0
    stack__pid_alive "$pid"
}

stack__start_server() {
    local dir=$1
    (stack__close_fds && exec ip netns exec "$stack_netns" openvpn --config "$dir/server/server.conf" \
        --daemon quellnet-e2e-server --writepid "$dir/run/server.pid" --log "$dir/log/server.log") || {
        stack__say "openvpn did not start"
        stack__tail_log "$dir/log/server.log"
        return 1
    }
    if ! stack__wait_for 15 eval "stack__server_ready $(printf '%q' "$dir") || ! stack__server_running $(printf '%q' "$dir")" ||
        ! stack__server_ready "$dir"; then
        stack__say "the OpenVPN server did not come up"
        stack__tail_log "$dir/log/server.log"
        return 1
    fi
}

stack__listening() {
    local ns=$1 port=$2
    if [ -n "$ns" ]; then
        ip netns exec "$ns" ss -Hltn "sport = :$port" 2>/dev/null | grep -q .
    else
        ss -Hltn "sport = :$port" 2>/dev/null | grep -q .
    fi
}

# A TCP listener inside `ns` that answers every connection with one line; its pid goes to
# run/<name>.pid, its output to log/<name>.log.
# Usage: stack__start_line_listener <dir> <name> <ns> <socat listen address> <port> <line> <what>
stack__start_line_listener() {
    local dir=$1 name=$2 ns=$3 listen=$4 port=$5 line=$6 what=$7 pid
    stack__daemon ip netns exec "$ns" socat "$listen,reuseaddr,fork" "SYSTEM:echo $line" \
        </dev/null >>"$dir/log/$name.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/run/$name.pid"
    if ! stack__wait_for 10 stack__listening "$ns" "$port"; then
        stack__say "$what did not come up"
        stack__tail_log "$dir/log/$name.log"
        return 1
    fi
}

stack__start_probe() {
    stack__start_line_listener "$1" probe "$stack_netns" "TCP-LISTEN:$stack_probe_port,bind=$stack_tunnel_server" \
        "$stack_probe_port" "$stack_probe_line" "the tunnel listener on $stack_tunnel_server:$stack_probe_port"
}

# A name server inside `ns` on `address`, answering the test name with `answer`.
stack__start_dns() {
    local dir=$1 name=$2 ns=$3 address=$4 answer=$5 pid
    stack__daemon ip netns exec "$ns" dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts \
        --bind-interfaces --listen-address="$address" --address="/$stack_dns_name/$answer" --pid-file \
        --user=nobody --group=nogroup --log-facility=- --log-queries </dev/null >>"$dir/log/$name.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/run/$name.pid"
    if ! stack__wait_for 10 eval "stack__listening_udp $ns 53 || ! stack__pid_alive $pid" ||
        ! stack__pid_alive "$pid"; then
        stack__say "the name server $name on $address did not come up"
        stack__tail_log "$dir/log/$name.log"
        return 1
    fi
}

stack__listening_udp() { ip netns exec "$1" ss -Hlun "sport = :$2" 2>/dev/null | grep -q .; }

# The LAN's name server and its IPv6 host, which only a way outside the tunnel reaches.
stack__start_lan() {
    local dir=$1
    stack__start_dns "$dir" lan-dns "$stack_lan_netns" "$stack_lan_addr" "$stack_lan_addr" || return 1
    stack__start_line_listener "$dir" lan-listener "$stack_lan_netns" \
        "TCP6-LISTEN:$stack_lan6_port,bind=[$stack_lan6_listener]" "$stack_lan6_port" "$stack_lan6_line" \
        "the LAN's IPv6 listener"
}

stack__start_standin() {
    local dir=$1 standin=$2 pid ns
    ns=$(stack__client_ns)
    if stack__listening "$ns" "$stack_standin_port"; then
        stack__say "127.0.0.1:$stack_standin_port is already taken:"
        ss -Hltnp "sport = :$stack_standin_port" >&2 || true
        return 1
    fi
    stack__client_prefix
    stack__daemon "${stack__client_cmd[@]}" "$standin" --port "$stack_standin_port" --cert "$dir/pki/standin.crt" --key "$dir/pki/standin.key" \
        --accounts "$dir/accounts" --profile "$dir/client.ovpn" </dev/null >>"$dir/log/standin.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/run/standin.pid"
    if ! stack__wait_for 15 eval "stack__listening '$ns' $stack_standin_port || ! stack__pid_alive $pid" ||
        ! stack__listening "$ns" "$stack_standin_port"; then
        stack__say "the account stand-in did not come up"
        stack__tail_log "$dir/log/standin.log"
        return 1
    fi
}

# ---------------------------------------------------------------------------------------------------------
# Users of the program's machine and a server of one of them (--client-netns): what one user's tunnel
# means to another is tested with real uids.

# Two system users without a home, made on the program's machine, whose /etc is the stack's own: they
# go with it. The helper serves them (stack__write_allowed_users).
stack__make_test_users() {
    local user
    stack__client_prefix
    for user in "$stack_test_user_a" "$stack_test_user_b"; do
        "${stack__client_cmd[@]}" id -u -- "$user" >/dev/null 2>&1 && continue
        if ! "${stack__client_cmd[@]}" useradd --system --no-create-home --no-log-init --shell /usr/sbin/nologin \
            --comment "$stack_test_user_comment" "$user"; then
            stack__say "cannot make the test user $user"
            return 1
        fi
    done
}

# Only users that the stack made (their comment says so), and only while the program's machine exists.
stack__remove_test_users() {
    local user
    [ -e "$stack_client_home/mnt.inode" ] || return 0
    stack__client_prefix
    for user in "$stack_test_user_a" "$stack_test_user_b"; do
        if [ "$("${stack__client_cmd[@]}" getent passwd "$user" 2>/dev/null | cut -d: -f5)" == "$stack_test_user_comment" ]; then
            "${stack__client_cmd[@]}" userdel "$user" 2>/dev/null || true
        fi
    done
    return 0
}

# The helper's allowed-users file: the test users' uids, when the stack has them (nothing otherwise).
stack__write_allowed_users() {
    local file=$1 user uid
    : >"$file" && chmod 644 -- "$file" || return 1
    [ -e "$stack_client_home/mnt.inode" ] || return 0
    stack__client_prefix
    for user in "$stack_test_user_a" "$stack_test_user_b"; do
        if uid=$("${stack__client_cmd[@]}" id -u -- "$user" 2>/dev/null); then
            printf '%s\n' "$uid" >>"$file" || return 1
        fi
    done
}

# The second server: like the first, on its own port, device and tunnel network, pushing nothing. Its
# password check accepts one account and writes every user name and password it is given to
# log/second-verify.log, one "user<TAB>password" line each.
stack__start_second_server() {
    local dir=$1 srv=$1/second-server
    mkdir -p -- "$srv/tmp" && chmod 700 -- "$srv" "$srv/tmp" || return 1
    cat >"$srv/verify-user" <<EOF || return 1
#!/bin/bash
log=$(printf '%q' "$dir/log/second-verify.log")
{ IFS= read -r user && { IFS= read -r pass || [ -n "\$pass" ]; }; } <"\$1" || exit 1
printf '%s\t%s\n' "\$user" "\$pass" >>"\$log"
[[ "\$user" == $(printf '%q' "$stack_second_email") && "\$pass" == $(printf '%q' "$stack_second_password") ]]
EOF
    chmod 700 -- "$srv/verify-user"
    stack__server_conf "$dir" "$srv" "$stack_second_port" "$stack_second_tun" "$stack_second_net" || return 1
    stack__write_client_profile "$dir" "$stack_second_port" "$dir/second-client.ovpn" || return 1
    : >"$dir/log/second-verify.log"
    (stack__close_fds && exec ip netns exec "$stack_netns" openvpn --config "$srv/server.conf" \
        --daemon quellnet-e2e-second --writepid "$dir/run/second-server.pid" --log "$dir/log/second-server.log") || {
        stack__say "the second openvpn server did not start"
        stack__tail_log "$dir/log/second-server.log"
        return 1
    }
    if ! stack__wait_for 15 grep -q "Initialization Sequence Completed" "$dir/log/second-server.log"; then
        stack__say "the second OpenVPN server did not come up"
        stack__tail_log "$dir/log/second-server.log"
        return 1
    fi
}

# ---------------------------------------------------------------------------------------------------------
# The helper daemon. Root runs only root-owned files: the daemon and its client.up and client.down are
# copied from the build tree into stack_helper_home (under /run, which no other user can write), and
# the daemon serves the default socket, keeps its private profile copies in stack_helper_home/runtime
# and reads no allowed-users file but the (absent) one there, so an installed helper's settings stay
# out of it. Root may always use it; --allow-user adds one more user.

stack_helper_socket=/run/com.quellnet.macos.helper.sock
stack_helper_home=/run/quellnet-e2e
stack_helper_exe=$stack_helper_home/com.quellnet.macos.helper

stack__helper_bin() { printf '%s' "$1/lib/quellnet/com.quellnet.macos.helper"; }

# The helper answers a version request on its socket.
stack__helper_answers() {
    printf '{"id":1,"op":"getVersion"}\n' |
        timeout 5 socat -t 3 - "UNIX-CONNECT:$stack_helper_socket" 2>/dev/null | grep -q '"version"'
}

helper_up__impl() {
    local dir build user=${3:-} helper src script pid args=()
    dir=$(stack__abs "${1:?helper_up DIR BUILD [USER]}")
    build=$(stack__abs "${2:?helper_up DIR BUILD [USER]}")
    helper=$(stack__helper_bin "$build")
    stack__need_root || return 1
    stack__need_tools socat setsid timeout || return 1
    if [ ! -x "$helper" ]; then
        stack__say "no helper daemon at $helper; build the target com.quellnet.macos.helper first"
        return 1
    fi
    if [ -n "$user" ] && ! id -u -- "$user" >/dev/null 2>&1; then
        stack__say "--allow-user: no such user: $user"
        return 1
    fi
    helper_down "$dir"
    if [ -S "$stack_helper_socket" ] && socat -u OPEN:/dev/null "UNIX-CONNECT:$stack_helper_socket" 2>/dev/null; then
        stack__say "$stack_helper_socket is already served by another helper (an installed quellnet helper?); stop it first"
        return 1
    fi

    rm -rf -- "$stack_helper_home" &&
        install -d -o root -g root -m 755 -- "$stack_helper_home" "$stack_helper_home/scripts" &&
        install -o root -g root -m 755 -- "$helper" "$stack_helper_exe" || return 1
    for script in client.up client.down; do
        src="$build/share/quellnet/$script"
        [ -f "$src" ] || src="$stack__repo/resources/$script"
        if [ ! -f "$src" ]; then
            stack__say "no $script in $build/share/quellnet or resources/"
            return 1
        fi
        install -o root -g root -m 755 -- "$src" "$stack_helper_home/scripts/$script" || return 1
    done
    mkdir -p -- "$dir/run" "$dir/log" || return 1

    stack__write_allowed_users "$stack_helper_home/allowed-users" || return 1
    args=(--socket "$stack_helper_socket" --scripts-dir "$stack_helper_home/scripts"
        --runtime-dir "$stack_helper_home/runtime" --allowed-users-file "$stack_helper_home/allowed-users")
    local served=root
    if [ -n "$user" ] && [ "$(id -u -- "$user")" != 0 ]; then
        args+=(--allow-user "$user")
        served="root and $user"
    fi
    stack__client_prefix
    stack__daemon "${stack__client_cmd[@]}" "$stack_helper_exe" "${args[@]}" </dev/null >>"$dir/log/helper.log" 2>&1 &
    pid=$!
    echo "$pid" >"$dir/run/helper.pid"
    # Answering, not just a socket file: an earlier daemon may have left its socket behind.
    if ! stack__wait_for 10 eval "! stack__pid_alive $pid || stack__helper_answers" ||
        ! stack__pid_alive "$pid" || ! stack__helper_answers; then
        stack__say "the helper daemon did not answer on $stack_helper_socket"
        stack__tail_log "$dir/log/helper.log"
        helper_down "$dir"
        return 1
    fi
    echo "helper daemon up (pid $pid) on $stack_helper_socket, serving $served"
}

# The daemon ends its openvpn on SIGTERM and waits for it, at most 10 s; so SIGKILL only after that.
helper_down__impl() {
    local dir pid
    dir=$(stack__abs "${1:?helper_down DIR}")
    [ "$(id -u)" -eq 0 ] || return 0
    pid=$(stack__read_pid "$dir/run/helper.pid")
    if [ -n "$pid" ] && stack__pid_alive "$pid" && stack__has_arg "$pid" "$stack_helper_exe"; then
        kill -TERM "$pid" 2>/dev/null || true
        if ! stack__wait_for 12 eval "! stack__pid_alive $pid"; then
            kill -KILL "$pid" 2>/dev/null || true
            stack__wait_for 2 eval "! stack__pid_alive $pid" || true
        fi
    fi
    rm -f -- "$dir/run/helper.pid"
    # A daemon that lost its pid file, and an openvpn that outlived a killed daemon.
    for pid in $(stack__pids_with_arg "$stack_helper_exe" "$stack_helper_home/scripts/client.up *"); do
        stack__stop_pid "$pid"
    done
    if [ -S "$stack_helper_socket" ] && ! socat -u OPEN:/dev/null "UNIX-CONNECT:$stack_helper_socket" 2>/dev/null; then
        rm -f -- "$stack_helper_socket"
    fi
    rm -rf -- "$stack_helper_home"
    return 0
}

# ---------------------------------------------------------------------------------------------------------
# up / down / status

# Client tun devices on the host that still hold an address of the stack's tunnel network: with the
# server gone they lead nowhere, and a later test would find two routes into the tunnel network.
stack__remove_client_tuns() {
    local name
    for name in $(ip -o -4 addr show 2>/dev/null | awk -v net="${stack_tunnel_net%.0}." 'index($4, net) == 1 { print $2 }' | sort -u); do
        if ip -d link show dev "$name" 2>/dev/null | grep -qw tun; then
            stack__say "removing the leftover tunnel device $name"
            ip link delete "$name" 2>/dev/null || true
        fi
    done
}

stack_down__impl() {
    local dir owner pid
    dir=$(stack__abs "${1:?stack_down DIR}")
    if [ "$(id -u)" -ne 0 ]; then
        stack__say "must run as root (network namespaces, openvpn)"
        return 0
    fi
    owner=$(stack__live_owner)
    if [ -z "$owner" ] || [ "$owner" == "$dir" ]; then
        helper_down "$dir"
    fi
    stack__stop_pidfile "$dir/run/standin.pid" "$dir/accounts"
    stack__stop_pidfile "$dir/run/probe.pid" "@netns:$stack_netns"
    stack__stop_pidfile "$dir/run/tunnel-dns.pid" "@netns:$stack_netns"
    stack__stop_pidfile "$dir/run/lan-dns.pid" "@netns:$stack_lan_netns"
    stack__stop_pidfile "$dir/run/lan-listener.pid" "@netns:$stack_lan_netns"
    stack__stop_pidfile "$dir/run/server.pid" "$dir/server/server.conf"
    stack__stop_pidfile "$dir/run/second-server.pid" "$dir/second-server/server.conf"
    # Whatever the pid files lost track of, and plain openvpn clients of DIR's profile that a killed
    # test left running (the helper runs its own copy of a profile, never this file).
    for pid in $(stack__pids_with_arg "$dir/server/server.conf" "$dir/second-server/server.conf" "$dir/accounts" \
        "$dir/client.ovpn"); do
        stack__stop_pid "$pid"
    done

    if [ -n "$owner" ] && [ "$owner" != "$dir" ]; then
        stack__say "the namespace belongs to the running stack of $owner; left alone"
        return 0
    fi
    stack__remove_test_users
    local ns
    for ns in "$stack_client_netns" "$stack_lan_netns" "$stack_netns"; do
        stack__netns_exists "$ns" || continue
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            stack__stop_pid "$pid"
        done
        ip netns delete "$ns" 2>/dev/null || true
    done
    stack__remove_client_mounts
    # Deleting one end of a veth pair deletes both; the server's tun device went with the namespace.
    ip link delete "$stack_veth_host" 2>/dev/null || true
    ip link delete "$stack_server_tun" 2>/dev/null || true
    ip link delete "$stack_second_tun" 2>/dev/null || true
    stack__remove_client_tuns
    rm -f -- "$stack_owner_file"
    return 0
}

# Reads the options of "up" and "helper-up" into the caller's locals build, with_helper,
# client_netns and allow_user.
stack__read_options() {
    while [ $# -gt 0 ]; do
        case "$1" in
        --build) build=$(stack__abs "${2:?--build BUILD}") && shift ;;
        --with-helper) with_helper=1 ;;
        --client-netns) client_netns=1 ;;
        --allow-user) allow_user=${2:?--allow-user USER} && shift ;;
        *)
            stack__say "unknown option $1"
            return 1
            ;;
        esac
        shift
    done
}

stack_up__impl() {
    local dir build="" with_helper=0 allow_user="" client_netns=0 standin owner
    dir=$(stack__abs "${1:?stack_up DIR [--build BUILD] [--with-helper] [--allow-user USER] [--client-netns]}")
    shift
    stack__read_options "$@" || return 1
    [ -n "$build" ] || build=$(dirname -- "$dir")
    standin="$build/tests/bin/quellnet-account-standin"

    stack__need_root || return 1
    stack__need_tools openvpn openssl ip ss socat setsid || return 1
    if [ "$client_netns" -eq 1 ]; then
        stack__need_tools dnsmasq nsenter unshare || return 1
    fi
    # openvpn splits its script command line at blanks, and the configuration takes quotes and
    # backslashes as syntax: keep DIR plain instead of quoting it three different ways.
    if [[ "$dir" =~ [[:space:]\"\'\\\$] ]]; then
        stack__say "DIR must not contain blanks, quotes, backslashes or \$: $dir"
        return 1
    fi
    if [ ! -x "$standin" ]; then
        stack__say "no account stand-in at $standin; build the target quellnet-account-standin first"
        return 1
    fi
    owner=$(stack__live_owner)
    if [ -n "$owner" ] && [ "$owner" != "$dir" ]; then
        stack__say "another stack is up for $owner; run: $stack__self down $owner"
        return 1
    fi

    stack_down "$dir"
    mkdir -p -- "$dir" || return 1
    chmod 755 -- "$dir"
    rm -rf -- "$dir/run" "$dir/log" "$dir/server"
    mkdir -p -- "$dir/run" "$dir/log" && chmod 700 -- "$dir/run" || return 1
    printf '%s\n' "$dir" >"$stack_owner_file" || return 1

    if ! { stack_pki "$dir/pki" &&
        stack__write_accounts "$dir" &&
        stack__write_client_profile "$dir" &&
        stack__write_server "$dir" "$client_netns" &&
        stack__make_network "$client_netns" &&
        stack__start_server "$dir" &&
        stack__start_probe "$dir" &&
        { [ "$client_netns" -eq 0 ] || {
            stack__start_dns "$dir" tunnel-dns "$stack_netns" "$stack_tunnel_server" "$stack_tunnel_server" &&
                stack__start_lan "$dir" &&
                stack__start_second_server "$dir" &&
                stack__make_test_users
        }; } &&
        stack__start_standin "$dir" "$standin" &&
        { [ "$with_helper" -eq 0 ] || helper_up "$dir" "$build" "$allow_user"; } &&
        stack__write_env "$dir"; }; then
        stack__say "bringing the stack up failed; cleaning up"
        stack_down "$dir"
        return 1
    fi

    echo "stack up in $dir"
    echo "  account service  https://127.0.0.1:$stack_standin_port/api/ (CA $dir/pki/ca.crt)"
    echo "  OpenVPN server   udp $stack_server_addr:$stack_server_port in namespace $stack_netns, profile $dir/client.ovpn"
    echo "  tunnel check     tcp $stack_tunnel_server:$stack_probe_port answers \"$stack_probe_line\""
    if [ "$client_netns" -eq 1 ]; then
        echo "  program's side   namespaces $stack_client_netns (network) and $stack_client_home/mnt (mounts);"
        echo "                   LAN $stack_lan_netns: name server $stack_lan_addr, IPv6 host [$stack_lan6_listener]:$stack_lan6_port"
        echo "                   run a command there: $stack__self exec $dir -- COMMAND"
        echo "                   users $stack_test_user_a and $stack_test_user_b; second server udp $stack_server_addr:$stack_second_port"
    fi
    echo "  demo account     $stack_demo_email / $stack_demo_password"
    echo "  accounts         $dir/accounts"
}

# Prints what runs; returns 0 only when the namespace, the server, the tunnel listener and the
# stand-in are all up (the helper is reported, not required).
stack_status__impl() {
    local dir ok=0 pid
    dir=$(stack__abs "${1:?stack_status DIR}")
    report() { printf '  %-16s %s\n' "$1" "$2"; }
    echo "stack in $dir (owner: $(cat "$stack_owner_file" 2>/dev/null || echo none))"
    if stack__netns_exists; then report namespace "$stack_netns"; else report namespace missing && ok=1; fi
    if [ -e "$stack_client_home/mnt.inode" ]; then
        if stack__netns_exists "$stack_client_netns" && stack__netns_exists "$stack_lan_netns"; then
            report "program's side" "namespaces $stack_client_netns and $stack_lan_netns, mounts $stack_client_home/mnt"
        else
            report "program's side" "client namespaces missing" && ok=1
        fi
    elif ip link show "$stack_veth_host" >/dev/null 2>&1; then
        report veth "$stack_veth_host <-> $stack_veth_ns"
    else
        report veth missing && ok=1
    fi
    pid=$(stack__read_pid "$dir/run/server.pid")
    if stack__pid_alive "$pid" && stack__server_ready "$dir"; then report "openvpn server" "pid $pid"; else report "openvpn server" "not running" && ok=1; fi
    if stack__netns_exists && stack__listening "$stack_netns" "$stack_probe_port"; then
        report "tunnel listener" "$stack_tunnel_server:$stack_probe_port"
    else
        report "tunnel listener" "not running" && ok=1
    fi
    pid=$(stack__read_pid "$dir/run/standin.pid")
    if stack__pid_alive "$pid" && stack__listening "$(stack__client_ns)" "$stack_standin_port"; then
        report "account stand-in" "pid $pid, https://127.0.0.1:$stack_standin_port/api/"
    else
        report "account stand-in" "not running" && ok=1
    fi
    pid=$(stack__read_pid "$dir/run/helper.pid")
    if stack__pid_alive "$pid" && stack__helper_answers; then
        report "helper daemon" "pid $pid, $stack_helper_socket"
    else
        report "helper daemon" "not running"
    fi
    return $ok
}

# The public functions run in a subshell without errexit: they report failure by their status and
# never end a caller that runs under `set -e`.
stack_pki() (set +e && stack_pki__impl "$@")
stack_up() (set +e && stack_up__impl "$@")
stack_down() (set +e && stack_down__impl "$@")
stack_status() (set +e && stack_status__impl "$@")

# Runs COMMAND on the program's side of DIR's stack, in its place: the client namespaces when the
# stack has them, here otherwise. Exits with the command's status.
stack_exec__impl() {
    local dir
    dir=$(stack__abs "${1:?stack_exec DIR -- COMMAND}")
    shift
    [ "${1:-}" == "--" ] && shift
    [ $# -gt 0 ] || { stack__say "exec: no command"; return 2; }
    if [ ! -e "$dir/stack.env" ]; then
        stack__say "no stack in $dir"
        return 1
    fi
    stack__client_prefix
    exec "${stack__client_cmd[@]}" "$@"
}
stack_exec() (stack_exec__impl "$@")
helper_up() (set +e && helper_up__impl "$@")
helper_down() (set +e && helper_down__impl "$@")

# helper-up DIR [--build BUILD] [--allow-user USER]: (re)starts only the helper daemon of DIR's stack.
stack__helper_up_command() {
    local dir build="" allow_user="" with_helper=0 client_netns=0
    dir=$(stack__abs "${1:?helper-up DIR [--build BUILD] [--allow-user USER]}")
    shift
    stack__read_options "$@" || return 1
    helper_up "$dir" "${build:-$(dirname -- "$dir")}" "$allow_user"
}

stack__main() {
    local cmd=${1:-}
    [ $# -gt 0 ] && shift
    case "$cmd" in
    up) stack_up "$@" ;;
    exec) stack_exec "$@" ;;
    down) stack_down "$@" ;;
    status) stack_status "$@" ;;
    pki) stack_pki "$@" ;;
    helper-up) stack__helper_up_command "$@" ;;
    helper-down) helper_down "$@" ;;
    *)
        echo "usage: $0 up DIR [--build BUILD] [--with-helper] [--allow-user USER] [--client-netns]" >&2
        echo "       $0 exec DIR -- COMMAND [ARG...]" >&2
        echo "       $0 down|status|pki|helper-down DIR" >&2
        echo "       $0 helper-up DIR [--build BUILD] [--allow-user USER]" >&2
        return 2
        ;;
    esac
}

if [ "${BASH_SOURCE[0]}" == "$0" ]; then
    set -uo pipefail
    stack__main "$@"
    exit $?
fi
