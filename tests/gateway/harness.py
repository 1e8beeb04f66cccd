"""Processes for the gateway tests: a real mosquitto broker on a free port,
kavrol-devsim simulators behind fixed link paths, the gateway itself with a
generated configuration, and a paho subscriber that keeps what it receives.

The programs come from $KAVROL_GATEWAY, $KAVROL_DEVSIM and $KAVROL_CLI (set
by CTest); the broker is /usr/sbin/mosquitto.
"""

from __future__ import annotations

import json
import os
import pwd
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Callable, Optional

import paho.mqtt.client as mqtt
from paho.mqtt.packettypes import PacketTypes
from paho.mqtt.properties import Properties

GATEWAY = os.environ.get("KAVROL_GATEWAY", "kavrol-gateway")
DEVSIM = os.environ.get("KAVROL_DEVSIM", "kavrol-devsim")
CLI = os.environ.get("KAVROL_CLI", "kavrol")
MOSQUITTO = os.environ.get("KAVROL_MOSQUITTO", "/usr/sbin/mosquitto")


def eventually(condition: Callable[[], Any], timeout_s: float = 20.0, step_s: float = 0.02) -> Any:
    """condition()'s first true value within timeout_s, else its last value."""
    deadline = time.monotonic() + timeout_s
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step_s)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _stop(process: subprocess.Popen, sig: int = signal.SIGTERM, timeout_s: float = 10.0) -> int:
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout_s)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


class Broker:
    """mosquitto on 127.0.0.1 with a generated configuration. Its sessions
    persist across a stop with SIGTERM and a start, as a broker's do.

    Started by root, mosquitto would switch to its own user and could then
    neither write its log nor save its sessions in the test's private
    directory; it is told to stay the user who runs the tests."""

    def __init__(self, work: Path, port: Optional[int] = None) -> None:
        self.work = work
        self.port = port or free_port()
        self.process: Optional[subprocess.Popen] = None
        self.config = work / "mosquitto.conf"
        self.config.write_text(
            f"listener {self.port} 127.0.0.1\n"
            f"user {pwd.getpwuid(os.geteuid()).pw_name}\n"
            "allow_anonymous true\n"
            "persistence true\n"
            f"persistence_location {work}/\n"
            "max_queued_messages 1000000\n"
            "max_inflight_messages 0\n"
            f"log_dest file {work}/mosquitto.log\n"
            + ("log_type all\n" if os.environ.get("KAVROL_BROKER_LOG_ALL") else "")
        )

    def start(self) -> "Broker":
        for _ in range(50):
            self.process = subprocess.Popen([MOSQUITTO, "-c", str(self.config)], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if eventually(lambda: self._listening() or self.process.poll() is not None, 10):
                if self.process.poll() is None:
                    return self
            time.sleep(0.2)  # the port may still be held by the previous run
        raise RuntimeError(f"mosquitto did not start on port {self.port}")

    def _listening(self) -> bool:
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                return True
        except OSError:
            return False

    def stop(self) -> None:
        if self.process is not None:
            _stop(self.process)
            self.process = None

    def saved(self) -> bool:
        """Whether the broker saved its sessions and messages when it stopped."""
        return (self.work / "mosquitto.db").exists()


class Devsim:
    """kavrol-devsim serving a pseudo-terminal behind the symbolic link
    `link`, so that a restarted simulator is found under the same name."""

    def __init__(self, work: Path, name: str, args: tuple[str, ...] = (), client_timeout_ms: int = 1000) -> None:
        self.link = work / f"{name}.tty"
        self.fault_log = work / f"{name}.faults.jsonl"
        self.frame_log = work / f"{name}.frames.log"
        self.args = ["--scenario", "all-models", "--link", str(self.link), "--fault-log", str(self.fault_log),
                     "--client-timeout", str(client_timeout_ms), *args]
        self.process: Optional[subprocess.Popen] = None

    def start(self) -> "Devsim":
        with open(self.frame_log, "ab") as log:
            self.process = subprocess.Popen([DEVSIM, *self.args], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=log)
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("kavrol-devsim printed no path: " + self.frame_log.read_text())
        return self

    def stop(self) -> None:
        if self.process is not None:
            _stop(self.process)
            if self.process.stdout is not None:
                self.process.stdout.close()
            self.process = None

    def faults(self) -> list[dict[str, Any]]:
        if not self.fault_log.exists():
            return []
        return [json.loads(line) for line in self.fault_log.read_text().splitlines() if line.endswith("}")]

    def received_frames(self) -> list[bytes]:
        """The frames the simulator read, in order."""
        frames = []
        for line in self.frame_log.read_text(errors="replace").splitlines():
            parts = line.split("<- ", 1)
            if len(parts) == 2:
                frames.append(bytes.fromhex(parts[1].split("  ", 1)[0]))
        return frames


def toml_value(v: Any) -> str:
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, str):
        return json.dumps(v)
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(toml_value(x) for x in v) + "]"
    return str(v)


def gateway_toml(gateway: dict[str, Any], broker: dict[str, Any], lines: list[dict[str, Any]]) -> str:
    """A configuration file: lines are dicts of line keys with "devices", and
    devices dicts of device keys with "polls"."""
    out = ["[gateway]"] + [f"{k} = {toml_value(v)}" for k, v in gateway.items()]
    out += ["", "[broker]"] + [f"{k} = {toml_value(v)}" for k, v in broker.items()]
    for line in lines:
        out += ["", "[[line]]"] + [f"{k} = {toml_value(v)}" for k, v in line.items() if k != "devices"]
        for device in line.get("devices", []):
            out += ["", "[[line.device]]"] + [f"{k} = {toml_value(v)}" for k, v in device.items() if k != "polls"]
            for poll in device.get("polls", []):
                out += ["", "[[line.device.poll]]"] + [f"{k} = {toml_value(v)}" for k, v in poll.items()]
    return "\n".join(out) + "\n"


class Gateway:
    """kavrol-gateway with a configuration file; its log goes to a file."""

    def __init__(self, work: Path, text: str, name: str = "gateway") -> None:
        self.config = work / f"{name}.toml"
        self.config.write_text(text)
        self.log_path = work / f"{name}.log"
        self.process: Optional[subprocess.Popen] = None

    def start(self, wait_for: str = "broker connected") -> "Gateway":
        with open(self.log_path, "ab") as log:
            self.process = subprocess.Popen([GATEWAY, "--config", str(self.config)], stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=log)
        if wait_for and not eventually(lambda: wait_for in self.log() or self.process.poll() is not None):
            raise RuntimeError("the gateway did not log '" + wait_for + "':\n" + self.log())
        if self.process.poll() is not None:
            raise RuntimeError(f"the gateway exited with {self.process.returncode}:\n" + self.log())
        return self

    def log(self) -> str:
        return self.log_path.read_text(errors="replace") if self.log_path.exists() else ""

    def stop(self, sig: int = signal.SIGTERM) -> tuple[int, float]:
        """The exit status and the seconds from the signal to the exit."""
        assert self.process is not None
        start = time.monotonic()
        code = _stop(self.process, sig)
        return code, time.monotonic() - start


class Subscriber:
    """A paho client that subscribes to `filters` at QoS 1 and keeps every
    message with its arrival time. `session` keeps the broker session across
    broker restarts (MQTT v5 clean start off, one hour expiry)."""

    def __init__(self, port: int, filters: list[str], v5: bool = True, session: Optional[str] = None) -> None:
        self.messages: list[tuple[float, str, bytes, Any, bool]] = []
        self.lock = threading.Lock()
        self.v5 = v5
        self.connected = threading.Event()
        self.filters = filters
        protocol = mqtt.MQTTv5 if v5 else mqtt.MQTTv311
        self.client = mqtt.Client(client_id=session or "", protocol=protocol)
        self.client.on_message = self._on_message
        self.client.on_connect = self._on_connect
        self.client.reconnect_delay_set(min_delay=1, max_delay=2)
        props = None
        if v5 and session:
            props = Properties(PacketTypes.CONNECT)
            props.SessionExpiryInterval = 3600
        kwargs: dict[str, Any] = {"properties": props, "clean_start": session is None} if v5 else {}
        self.client.connect("127.0.0.1", port, keepalive=10, **kwargs)
        self.client.loop_start()
        if not self.connected.wait(10):
            raise RuntimeError("the subscriber did not connect")

    def _on_connect(self, client: mqtt.Client, userdata: Any, flags: Any, rc: Any, properties: Any = None) -> None:
        for f in self.filters:
            client.subscribe(f, qos=1)
        self.connected.set()

    def _on_message(self, client: mqtt.Client, userdata: Any, msg: mqtt.MQTTMessage) -> None:
        with self.lock:
            self.messages.append((time.monotonic(), msg.topic, msg.payload, getattr(msg, "properties", None),
                                  bool(msg.retain)))

    def on(self, topic: str) -> list[bytes]:
        with self.lock:
            return [m[2] for m in self.messages if m[1] == topic]

    def json_on(self, topic: str) -> list[dict[str, Any]]:
        return [json.loads(p) for p in self.on(topic)]

    def all(self) -> list[tuple[float, str, bytes, Any, bool]]:
        with self.lock:
            return list(self.messages)

    def publish(self, topic: str, payload: str, response_topic: Optional[str] = None,
                correlation: Optional[bytes] = None) -> None:
        props = None
        if self.v5 and (response_topic or correlation):
            props = Properties(PacketTypes.PUBLISH)
            if response_topic:
                props.ResponseTopic = response_topic
            if correlation:
                props.CorrelationData = correlation
        self.client.publish(topic, payload, qos=1, properties=props).wait_for_publish(10)

    def close(self) -> None:
        self.client.loop_stop()
        self.client.disconnect()


def retained(port: int, topic: str, timeout_s: float = 5.0) -> Optional[bytes]:
    """The retained message of a topic, read by a fresh client."""
    sub = Subscriber(port, [topic], v5=True)
    try:
        found = eventually(lambda: sub.on(topic), timeout_s)
        return found[-1] if found else None
    finally:
        sub.close()


def cli_json(port: str, model: int, command: int, sub: int = 0, route: tuple[int, ...] = ()) -> dict[str, Any]:
    """kavrol query --json for one transaction."""
    args = [CLI, "query", "--port", port, "--model", str(model), "--command", str(command), "--sub", str(sub), "--json"]
    if route:
        args += ["--route", ",".join(str(b) for b in route)]
    out = subprocess.run(args, capture_output=True, text=True, timeout=30)
    return json.loads(out.stdout)


def _shut_both(a: socket.socket, b: socket.socket) -> None:
    """Ends both directions of a proxied connection (either may be gone)."""
    for sock in (a, b):
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def _read_mqtt_packet(s: socket.socket) -> bytes:
    """One whole MQTT packet: fixed header, remaining length, body."""
    def exactly(n: int) -> bytes:
        data = b""
        while len(data) < n:
            chunk = s.recv(n - len(data))
            if not chunk:
                raise OSError("closed")
            data += chunk
        return data

    head = exactly(1)
    length, shift = 0, 0
    while True:
        b = exactly(1)
        head += b
        length |= (b[0] & 0x7F) << shift
        shift += 7
        if not b[0] & 0x80:
            break
    return head + exactly(length)


class _BrokerProxy:
    """A listener on a free local port in front of a real broker; each
    accepted connection goes to _accepted, until close()."""

    def __init__(self, broker_port: int) -> None:
        self.broker_port = broker_port
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(16)
        self.port = self.server.getsockname()[1]

    def _start(self) -> None:
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return
            self._accepted(client)

    def _accepted(self, client: socket.socket) -> None:
        raise NotImplementedError

    def close(self) -> None:
        self.server.close()


class V5RefusingProxy(_BrokerProxy):
    """In front of a real broker: answers an MQTT 5 CONNECT as a broker that
    speaks 3.1.1 only (CONNACK "unacceptable protocol version", then closes)
    and passes every other connection through unchanged."""

    def __init__(self, broker_port: int) -> None:
        super().__init__(broker_port)
        self.refused = 0
        self.passed = 0
        self._start()

    def _accepted(self, client: socket.socket) -> None:
        threading.Thread(target=self._handle, args=(client,), daemon=True).start()

    def _handle(self, client: socket.socket) -> None:
        try:
            packet = _read_mqtt_packet(client)
            # Fixed header, remaining length, then "\0\4MQTT" and the protocol level.
            start = packet.index(b"MQTT") + 4
            if packet[start] == 5:
                self.refused += 1
                client.sendall(bytes([0x20, 0x02, 0x00, 0x01]))
                client.close()
                return
            self.passed += 1
            upstream = socket.create_connection(("127.0.0.1", self.broker_port))
            upstream.sendall(packet)
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pipe, args=(a, b), daemon=True).start()
        except (OSError, ValueError, IndexError):
            client.close()

    @staticmethod
    def _pipe(a: socket.socket, b: socket.socket) -> None:
        try:
            while data := a.recv(65536):
                b.sendall(data)
        except OSError:
            pass
        finally:
            _shut_both(a, b)


class HoldingProxy(_BrokerProxy):
    """Passes MQTT connections through to a real broker, packet by packet.
    hold() makes the current connections a black hole: from the next packet
    on nothing passes either way, as when a link dies under a client that has
    messages in flight; cut() then closes them. Later connections pass."""

    def __init__(self, broker_port: int) -> None:
        super().__init__(broker_port)
        self.lock = threading.Lock()
        self.held: set[socket.socket] = set()
        self.current: set[socket.socket] = set()
        self.swallowed_publishes = 0
        self._start()

    def _accepted(self, client: socket.socket) -> None:
        try:
            upstream = socket.create_connection(("127.0.0.1", self.broker_port))
        except OSError:
            client.close()
            return
        with self.lock:
            self.current |= {client, upstream}
        for a, b in ((client, upstream), (upstream, client)):
            threading.Thread(target=self._pipe, args=(a, b, a is client), daemon=True).start()

    def _pipe(self, a: socket.socket, b: socket.socket, from_client: bool) -> None:
        try:
            while True:
                packet = _read_mqtt_packet(a)
                with self.lock:
                    held = a in self.held
                    if held and from_client and packet[0] >> 4 == 3:
                        self.swallowed_publishes += 1
                if not held:
                    b.sendall(packet)
        except OSError:
            pass
        finally:
            _shut_both(a, b)

    def hold(self) -> None:
        with self.lock:
            self.held |= self.current

    def cut(self) -> None:
        with self.lock:
            cut, self.current = self.current, set()
        for s in cut:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self) -> None:
        self.cut()
        super().close()


def shut_down(subscriber: Optional[Subscriber], gateway: Optional[Gateway], sims: list[Devsim]) -> None:
    """The end of a test: whatever it got to, every process it started stops."""
    if subscriber is not None:
        subscriber.close()
    if gateway is not None and gateway.process is not None:
        gateway.stop()
    for s in sims:
        s.stop()
