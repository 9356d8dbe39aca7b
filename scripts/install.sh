#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and benchmarks with.
# This is the one list of what the project needs; CI runs it on a fresh machine.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
  build-essential g++ cmake ninja-build pkg-config \
  libgtest-dev libgmock-dev googletest libbenchmark-dev \
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql qt6-qpa-plugins \
  libgl-dev \
  libcurl4-openssl-dev libcpp-httplib-dev libsimdjson-dev rapidjson-dev libcli11-dev \
  libsqlite3-dev sqlite3 libpq-dev postgresql postgresql-client pgbouncer haproxy \
  xvfb xauth x11-apps imagemagick xdotool fonts-dejavu-core fonts-liberation2 \
  curl ca-certificates time procps python3 \
  libboost1.81-dev libssl-dev openssl \
  clang libclang-rt-14-dev clang-format \
  dpkg-dev file systemd \
  prometheus-cpp-dev prometheus \
  linux-perf
# libcurl: the client's transport; cpp-httplib: a test client and stand-in servers
# in the tests only. boost (Beast, Asio) and OpenSSL: the application server and TLS. clang with its
# runtime: the libFuzzer targets and the clang build; clang-format: the format
# check. python3: the include-loop check. dpkg-dev: the packages' library dependencies.
# systemd: systemd-analyze verify on the units. prometheus-cpp-dev: the server's
# /metrics and the export's metrics file; prometheus: promtool checks both in the tests.
# haproxy: the example load balancer in front of several servers, started by a test.
# pgbouncer: started by a test in transaction mode between servers and PostgreSQL.
# linux-perf: bench/cli/tail.sh traces the export's system calls at little cost.
# fonts-liberation2: the Arial-metric face that stands in for the screens' 8-point
# sans serif. xvfb, xdotool, imagemagick: the host tried and pictured under Xvfb.
