#!/usr/bin/env bash
# Reproduces the figures of the README's Performance section and of bench/README.md.
#
#   bench/run-all.sh [-s SERIES] [-b BUILD_DIR] [-o OUT_DIR] [GROUP...]
#
# Builds the benchmarks (Release, -DCV_BENCH=ON) and runs each group's benchmark SERIES
# times (3 by default; a figure is the median of at least 3). Every series is interleaved
# with its peer inside the benchmark (ours and the peer's runs alternate, or are randomly
# interleaved repetitions for the in-process ones). For each figure the summary gives the
# median of the series, the lowest and the highest series, every series, and the machine's
# load (the 1-minute average read before and after each series, on `nproc` cores): the
# figures of a loaded machine are not those of a quiet one, so quote the load with them.
# The logs of every series and the summary stay in OUT_DIR.
#
# A benchmark that fails, or prints no figure (or a zero or non-numeric one) where one is
# expected, stops the script with a non-zero status and names the log.
#
# Groups (all of them by default, in this order):
#   rsa      RSA-2048/4096 signing, verification and modular powers beside OpenSSL's library
#            (CPU time), with and without AVX-512 IFMA on OpenSSL's side
#   crypto   SSH ciphers, MACs and SHA-256 beside OpenSSL's EVP (CPU time)
#   tls      TLS record encryption through the adapter beside raw AES-256-GCM
#   ftpsrv   the FTP server beside vsftpd, curl as the client (RETR, STOR)
#   httpsrv  the HTTP server library and control beside nginx (rate, CPU per request, latency)
#            and its TLS handshake beside openssl s_server (wrk)
#   sftp     SFTP download and upload beside OpenSSH's sftp; three transfers on one session
#   xfer     FTP, FTPS, HTTP, HTTPS clients (library and control) beside curl, priority 2
#   xfer4    FTP download beside curl at priority 4
#   ftp      FTP download and upload beside curl against proftpd, priority 2 and 4
#   mail     MIME parsing beside ripmime; IMAP and POP3 fetch through the control beside curl
#
# Sizes and rounds (environment, defaults as the README quotes them):
#   RSA_REPS=5 RSA_MIN_TIME=0.5   CRYPTO_REPS=3   TLS_REPS=3
#   FTPSRV_MIB=1024 FTPSRV_ROUNDS=5
#   HTTPSRV_SECONDS=5 HTTPSRV_ROUNDS=3
#   SFTP_MIB=512 SFTP_ROUNDS=5 SFTP_CONCURRENT_MIB=100 SFTP_CONCURRENT_RUNS=20
#   BENCH_BESIDE=<an earlier build's bench_sftp> (the SFTP group then runs it as a third side)
#   XFER_MIB=1024 XFER_RUNS=3 XFER_FILTER= (only the xfer cases whose name holds it, e.g. put)
#   FTP_MIB=256 FTP_RUNS=3
#   MAIL_PARSE_MIB=68 MAIL_FETCH_MIB=24 MAIL_RUNS=9
#   JOBS=6 (build jobs)
#
# Needs what scripts/setup.sh installs (the peers and curl), wrk for the HTTP server (not
# in scripts/packages.txt, as no test uses it: installed here when running as root), and
# root for the SFTP group (its test account and sshd).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
series=3
build=$top/build-bench
out=$top/bench-results/$(date +%Y%m%d-%H%M%S)
while getopts "s:b:o:h" opt; do
  case $opt in
    s) series=$OPTARG ;;
    b) build=$OPTARG ;;
    o) out=$OPTARG ;;
    *) sed -n '2,40p' "$0" | sed 's/^# \{0,1\}//'; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=$(realpath -m "$build")
out=$(realpath -m "$out")
all_groups=(rsa crypto tls ftpsrv httpsrv sftp xfer xfer4 ftp mail)
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=("${all_groups[@]}")
for g in "${groups[@]}"; do
  [[ " ${all_groups[*]} " == *" $g "* ]] || { echo "run-all: unknown group '$g' (${all_groups[*]})" >&2; exit 2; }
done
[ "$series" -ge 1 ] 2>/dev/null || { echo "run-all: -s needs a count" >&2; exit 2; }
[ "$series" -ge 3 ] || echo "run-all: fewer than 3 series: not enough for a quoted figure" >&2

fail() {
  echo "run-all: $*" >&2
  exit 1
}

# --- what each group needs ----------------------------------------------------------
declare -A target=([rsa]=bench_ssh_pk [crypto]=bench_ssh_crypto [tls]=bench_tls [ftpsrv]=bench_ftpsrv
  [httpsrv]=bench_httpsrv [sftp]=bench_sftp [xfer]=bench_xfer [xfer4]=bench_xfer [ftp]=bench_ftp
  [mail]=bench_mail)
declare -A programs=([rsa]="openssl" [tls]="openssl" [ftpsrv]="curl" [httpsrv]="wrk nginx openssl"
  [sftp]="sftp ssh-keygen sshd" [xfer]="curl nginx proftpd" [xfer4]="curl nginx proftpd" [ftp]="curl proftpd"
  [mail]="curl ripmime dovecot")
missing_programs() {
  local g p
  for g in "${groups[@]}"; do
    for p in ${programs[$g]:-}; do
      PATH=$PATH:/usr/sbin command -v "$p" >/dev/null || echo "$p"
    done
  done | sort -u
}
mapfile -t missing < <(missing_programs)
if [[ " ${missing[*]-} " == *" wrk "* ]] && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wrk >/dev/null ||
    fail "apt-get install wrk failed"
  mapfile -t missing < <(missing_programs)
fi
[ ${#missing[@]} -eq 0 ] || fail "missing programs: ${missing[*]} (bash scripts/setup.sh; apt-get install wrk)"
if [[ " ${groups[*]} " == *" ftpsrv "* || " ${groups[*]} " == *" xfer"* ]] &&
  [ ! -x "$top/.cache/peers/vsftpd/usr/sbin/vsftpd" ]; then
  fail "vsftpd is not in the peer cache (bash scripts/setup.sh)"
fi
[[ " ${groups[*]} " != *" sftp "* ]] || [ "$(id -u)" = 0 ] || fail "the sftp group needs root"

# --- build ---------------------------------------------------------------------------
targets=()
for g in "${groups[@]}"; do [[ " ${targets[*]-} " == *" ${target[$g]} "* ]] || targets+=("${target[$g]}"); done
if [ -f "$top/scripts/ccache-env.sh" ]; then source "$top/scripts/ccache-env.sh"; fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCV_BENCH=ON >/dev/null ||
    fail "configuring $build failed"
fi
grep -q '^CV_BENCH:BOOL=ON' "$build/CMakeCache.txt" || fail "$build is not configured with -DCV_BENCH=ON"
grep -q '^CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" ||
  echo "run-all: $build is not a Release build: figures are not comparable" >&2
cmake --build "$build" -j "${JOBS:-6}" --target "${targets[@]}" >"$build/run-all-build.log" 2>&1 ||
  fail "building ${targets[*]} failed (see $build/run-all-build.log)"
bin() { echo "$build/bench/$1/bench_$2"; }

mkdir -p "$out"
load() { cut -d' ' -f1 /proc/loadavg; }

# --- one series of a group: runs the benchmark, writes "figure<TAB>value" lines ----------
# Each extractor reads the series' log and prints the figures it must find.

gbench_args() {  # in-process benchmarks: repetitions randomly interleaved, medians only
  echo "--benchmark_repetitions=$1 --benchmark_enable_random_interleaving=true" \
    "--benchmark_report_aggregates_only=true --benchmark_min_time=$2"
}

# "case ours/s theirs/s OpenSSL/ours" tables of bench_ssh_pk.
ratio_table() {  # prefix
  awk -v pre="$1" '/^case /{t=1; next} t && NF==4 {
      printf "%s%s OpenSSL/ours\t%s\n", pre, $1, $4
      printf "%s%s us ours\t%.1f\n", pre, $1, 1e6/$2
      printf "%s%s us OpenSSL\t%.1f\n", pre, $1, 1e6/$3 }'
}

run_rsa() {  # log
  local filter='rsa2048|rsa4096|modpow'
  # shellcheck disable=SC2046
  "$(bin ssh_pk ssh_pk)" --benchmark_filter="$filter" $(gbench_args "${RSA_REPS:-5}" "${RSA_MIN_TIME:-0.5}") \
    >"$1" 2>&1 || return 1
  echo "== OpenSSL without AVX-512 IFMA" >>"$1"
  # shellcheck disable=SC2046
  OPENSSL_ia32cap=":~0x200000" "$(bin ssh_pk ssh_pk)" --benchmark_filter='rsa2048-sign/(scalar|openssl)' \
    $(gbench_args "${RSA_REPS:-5}" "${RSA_MIN_TIME:-0.5}") >>"$1" 2>&1
}
extract_rsa() {
  awk '/^== OpenSSL without/{exit} {print}' "$1" | ratio_table ""
  awk 'f{print} /^== OpenSSL without/{f=1}' "$1" | ratio_table "no IFMA: "
}

run_crypto() {
  # shellcheck disable=SC2046
  "$(bin ssh_crypto ssh_crypto)" $(gbench_args "${CRYPTO_REPS:-3}" 0.3) >"$1" 2>&1
}
extract_crypto() {
  awk '/^case /{t=1; next} t && NF==4 { printf "%s ours/OpenSSL\t%s\n", $1, $4 }' "$1"
}

run_tls() {
  # shellcheck disable=SC2046
  "$(bin tls tls)" $(gbench_args "${TLS_REPS:-3}" 0.3) --benchmark_format=csv >"$1" 2>&1 || return 1
  openssl speed -evp aes-256-gcm -bytes 16384 -seconds 2 >>"$1" 2>/dev/null
}
extract_tls() {
  # The medians of the repetitions, or the single rows of one repetition.
  awk -F, '$1 ~ /^"?(Adapter|Evp)/ && $1 !~ /_(mean|stddev|cv)"?$/ {
      gsub(/"/, "", $1); sub(/_median/, "", $1); rate[$1] = $6; printf "%s GB/s\t%.2f\n", $1, $6 / 1e9 }
    END { for (a in rate) if (a ~ /^Adapter/ && rate["EvpAes256Gcm"] > 0) printf "%s / EvpAes256Gcm\t%.2f\n", a, rate[a] / rate["EvpAes256Gcm"] }
    /^AES-256-GCM/ { n = split($0, w, " "); v = w[n]; sub(/k$/, "", v); printf "openssl speed aes-256-gcm 16 KiB GB/s\t%.2f\n", v * 1000 / 1e9 }' "$1"
}

run_ftpsrv() { "$(bin ftpsrv ftpsrv)" "${FTPSRV_MIB:-1024}" "${FTPSRV_ROUNDS:-5}" >"$1" 2>&1; }
extract_ftpsrv() {
  awk '/^(RETR|STOR) / { printf "%s library/vsftpd\t%s\n%s library MiB/s\t%s\n%s vsftpd MiB/s\t%s\n", $1, $6, $1, $2, $1, $4 }' "$1"
}

run_httpsrv() { "$(bin httpsrv httpsrv)" "${HTTPSRV_SECONDS:-5}" "${HTTPSRV_ROUNDS:-3}" 4 >"$1" 2>&1; }
extract_httpsrv() {
  awk '/keep-alive, 50 conn/ { printf "keep-alive req/s\t%s\nkeep-alive nginx req/s\t%s\nkeep-alive / ceiling\t%s\n", $7, $10, $NF }
    /keep-alive, control:/ { printf "keep-alive control req/s\t%s\nkeep-alive control / ceiling\t%s\n", $6, $NF }
    /keep-alive CPU per request/ { printf "keep-alive CPU us/request library\t%s\nkeep-alive CPU us/request nginx\t%s\nkeep-alive CPU us/request control\t%s\n", $6, $9, $12 }
    /keep-alive latency/ { split($5, l, "/"); split($8, n, "/"); split($11, c, "/")
      printf "keep-alive p50 ms library\t%s\nkeep-alive p99 ms library\t%s\nkeep-alive p99 ms nginx\t%s\nkeep-alive p50 ms control\t%s\nkeep-alive p99 ms control\t%s\n", l[1], l[2], n[2], c[1], c[2] }
    /new connection each/ { printf "new connection req/s\t%s\nnew connection nginx req/s\t%s\nnew connection control req/s\t%s\n", $7, $10, $13 }
    /new connection CPU per request/ { printf "new connection CPU us library\t%s\nnew connection CPU us nginx\t%s\nnew connection CPU us control\t%s\n", $7, $10, $13 }
    /100 MiB file/ { printf "100 MiB file library/nginx\t%s\n", $NF }
    /TLS 1.2 connect/ { printf "TLS handshake ms\t%s\nTLS handshake s_server ms\t%s\nTLS handshake library/s_server time\t%s\n", $5, $8, $NF }' "$1"
}

run_sftp() {
  # One series of the bench's own per run-all series: run-all interleaves and summarises them.
  "$(bin sftp sftp)" "${SFTP_MIB:-512}" "${SFTP_ROUNDS:-5}" 1 >"$1" 2>&1 || return 1
  "$(bin sftp sftp)" --concurrent "${SFTP_CONCURRENT_MIB:-100}" "${SFTP_CONCURRENT_RUNS:-20}" >>"$1" 2>&1
}
extract_sftp() {
  awk '/^(download|upload) +throughput ours\/sftp median/ { gsub(/,|;/, "")
      printf "%s throughput ours/sftp\t%s\n%s CPU per byte ours/sftp\t%s\n", $1, $5, $1, $13 }
    /^(download|upload) +throughput ours\/earlier median/ { gsub(/,/, ""); printf "%s throughput ours/earlier\t%s\n", $1, $5 }
    /slowest \/ alone median .*CPU/ { gsub(/,|;/, ""); printf "concurrent slowest/alone\t%s\nconcurrent CPU/alone\t%s\n", $9, $16 }' "$1"
}

xfer_extract() {
  awk '/ library .* \| control / { split($0, a, " library "); name = a[1]; sub(/ +$/, "", name)
      n = split($0, f, " "); printf "%s throughput library\t%s\n%s throughput control\t%s\n%s CPU library\t%s\n%s CPU control\t%s\n", name, f[n-8], name, f[n-6], name, f[n-2], name, f[n] }' "$1"
}
run_xfer() { "$(bin xfer xfer)" "${XFER_MIB:-1024}" "${XFER_RUNS:-3}" 2 "${XFER_FILTER:-}" >"$1" 2>&1; }
extract_xfer() { xfer_extract "$1"; }
run_xfer4() { "$(bin xfer xfer)" "${XFER_MIB:-1024}" "${XFER_RUNS:-3}" 4 "ftp get" >"$1" 2>&1; }
extract_xfer4() { xfer_extract "$1"; }

run_ftp() {
  "$(bin ftp ftp)" "${FTP_MIB:-256}" "${FTP_RUNS:-3}" 2 >"$1" 2>&1 || return 1
  echo "== priority 4" >>"$1"
  "$(bin ftp ftp)" "${FTP_MIB:-256}" "${FTP_RUNS:-3}" 4 >>"$1" 2>&1
}
extract_ftp() {
  awk '/^== priority 4/ { p = "priority 4 " } /throughput ratio/ { printf "%s%s throughput library/curl\t%s\n%s%s CPU library/curl\t%s\n", p == "" ? "priority 2 " : p, $1, $(NF-3), p == "" ? "priority 2 " : p, $1, $NF }' "$1"
}

run_mail() {
  "$(bin mail mail)" "${MAIL_PARSE_MIB:-68}" "${MAIL_FETCH_MIB:-24}" "${MAIL_RUNS:-9}" >"$1" 2>&1
}
extract_mail() {
  # The growth line says how the time of the header case grows with 4x the names (4 is
  # linear), for ours and for the peer, rather than a ratio between the two.
  awk '/^growth / { for (i = 1; i <= NF; ++i) if ($i == "cpu") c[++n] = $(i + 1)
                    printf "header growth CPU ours\t%s\nheader growth CPU peer\t%s\n", c[1], c[2]; next }
       / distinct header names / { names = $1 }
       / ours .* wall .* cpu / { what = $1 == "headers" ? "headers " names : $1
                                 printf "%s wall ours/peer\t%s\n%s CPU ours/peer\t%s\n", what, $(NF-2), what, $NF }' "$1"
}

# --- the series, then the summary --------------------------------------------------------
summary=$out/summary.txt
{
  echo "run-all: $(date -u +%Y-%m-%dT%H:%M:%SZ), $(nproc) cores, $series series, build $build"
  echo "commit $(git -C "$top" rev-parse --short HEAD 2>/dev/null || echo '?')"
} >"$summary"

for g in "${groups[@]}"; do
  : >"$out/$g.figures"
  loads=()
  for ((s = 1; s <= series; ++s)); do
    log=$out/$g-$s.log
    before=$(load)
    echo "run-all: $g series $s/$series (load $before)" >&2
    "run_$g" "$log" || fail "$g series $s failed (exit status $?): see $log"
    after=$(load)
    loads+=("$before" "$after")
    figures=$("extract_$g" "$log")
    [ -n "$figures" ] || fail "$g series $s printed no figure: see $log"
    while IFS=$'\t' read -r name value; do
      [[ $value =~ ^[0-9]+(\.[0-9]+)?$ ]] && awk -v v="$value" 'BEGIN { exit !(v > 0) }' ||
        fail "$g series $s: '$name' is '$value', not a measurement: see $log"
      printf '%s\t%s\t%s\n' "$s" "$name" "$value" >>"$out/$g.figures"
    done <<<"$figures"
  done
  count=$(cut -f2 "$out/$g.figures" | sort | uniq -c | awk -v n="$series" '$1 != n' | wc -l)
  [ "$count" -eq 0 ] || fail "$g: a figure is missing from some series: see $out/$g.figures"
  lo=$(printf '%s\n' "${loads[@]}" | sort -g | head -1)
  hi=$(printf '%s\n' "${loads[@]}" | sort -g | tail -1)
  {
    echo
    echo "== $g: $series series, load $lo-$hi on $(nproc) cores"
    printf '%-58s %10s %10s %10s   %s\n' "figure" "median" "lowest" "highest" "series"
    awk -F'\t' '!($2 in seen) { seen[$2] = 1; order[++n] = $2 } { v[$2] = v[$2] " " $3 }
      END { for (i = 1; i <= n; ++i) print order[i] "\t" v[order[i]] }' "$out/$g.figures" |
      while IFS=$'\t' read -r name values; do
        sorted=$(tr ' ' '\n' <<<"$values" | grep -v '^$' | sort -g | tr '\n' ' ')
        awk -v name="$name" -v s="$sorted" -v all="$values" 'BEGIN {
            n = split(s, x, " "); m = n % 2 ? x[(n + 1) / 2] : (x[n / 2] + x[n / 2 + 1]) / 2
            printf "%-58s %10.2f %10.2f %10.2f  %s\n", name, m, x[1], x[n], all }'
      done
  } | tee -a "$summary"
done
echo
echo "run-all: summary in $summary"
