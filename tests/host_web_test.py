#!/usr/bin/python3
"""Tests of lumhost's web page (lumhost --http), against a real lumhost
process and a client built on the library.

    host_web_test.py {security,bounds,api,coalescing,browser} RUNNER LUMHOST CLIENT PROFILE ARTEFACTS

RUNNER is "native", or the command that runs Windows programs (Wine).

security    the refusals: requests without the token (also from another user
            with a forged Origin), Host names other than the address, state
            changes from other origins, CORS, large bodies, the loopback
            default; --http-no-token
bounds      hundreds of half-open requests, kept up, under a low descriptor
            limit: the page still loads and a client still connects
api         the control API (/api/state, /api/command): its guards (Host,
            Origin, token, body size) and one row per console command; with
            a CLIENT (not "none"), what the state shows of it
coalescing  a client setting colours 1,000 times a second gives the page at
            most 30 pushes a second, and the last colour still arrives
browser     headless Chromium: a colour set by the client shows on the key,
            a click and a typed key reach the client as press then release
            with the key's vendorKey; screenshots are kept in ARTEFACTS
"""
import base64
import json
import os
import queue
import re
import socket
import struct
import subprocess
import sys
import threading
import time

WAIT = 20  # seconds for anything to happen before a test fails


class Process:
    """A child process whose output lines are collected as they come."""

    def __init__(self, args, env=None, limit=None):
        def lower_limit():
            if limit is not None:
                import resource
                resource.setrlimit(resource.RLIMIT_NOFILE, (limit, limit))
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, env=env,
                                     preexec_fn=lower_limit)
        self.lines = []
        self.changed = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.changed:
                self.lines.append(line.rstrip('\n'))
                self.changed.notify_all()

    def wait_for(self, pattern, start=0):
        """The first match of pattern in the lines from index start on."""
        deadline = time.monotonic() + WAIT
        with self.changed:
            while True:
                for line in self.lines[start:]:
                    match = re.search(pattern, line)
                    if match:
                        return match
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError('no line matching %r in:\n%s' %
                                         (pattern, '\n'.join(self.lines)))
                self.changed.wait(min(left, 0.2))

    def stop(self, command=None):
        try:
            if command is not None:
                self.proc.stdin.write(command + '\n')
                self.proc.stdin.flush()
            self.proc.stdin.close()
            self.proc.wait(timeout=WAIT)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


class Host:
    """lumhost serving pipes of its own and the page on a free port. url is
    the page's address, url_with_token the one lumhost printed, token the
    secret in it (None with --http-no-token)."""

    def __init__(self, lumhost, profile=None, http='127.0.0.1:0', extra=(), limit=None):
        self.pipes = 'lumhost-web-test-%d-%d' % (os.getpid(), time.monotonic_ns() % 1000000)
        args = RUNNER + [lumhost, '--no-view', '--http', http, '--pipe-base', self.pipes]
        if profile:
            args += ['--profile', profile]
        self.process = Process(args + list(extra), limit=limit)
        self.url_with_token = self.process.wait_for(r'the desk page is at (http://\S+)').group(1)
        self.url, _, query = self.url_with_token.partition('?')
        self.token = query[len('token='):] if query.startswith('token=') else None
        self.authority = re.match(r'http://([^/]+)/', self.url).group(1)
        self.port = int(self.authority.rsplit(':', 1)[1])

    def auth(self, **headers):
        """The page's own Host header, the token as scripts send it, and
        headers."""
        fields = {'Host': self.authority}
        if self.token:
            fields['Authorization'] = 'Bearer ' + self.token
        fields.update(headers)
        return fields

    def client(self, client, *args):
        env = dict(os.environ, LUMSDK_PIPE_BASE=self.pipes)
        return Process(RUNNER + [client] + [str(a) for a in args], env=env)

    def stop(self):
        self.process.stop('quit')


def request(port, method, path, headers, body=b''):
    """One HTTP/1.1 request, exactly as given: (status, headers, body)."""
    lines = ['%s %s HTTP/1.1' % (method, path)]
    lines += ['%s: %s' % item for item in headers.items()]
    if body or method == 'POST':
        lines.append('Content-Length: %d' % len(body))
    lines.append('Connection: close')
    data = ('\r\n'.join(lines) + '\r\n\r\n').encode() + body
    with socket.create_connection(('127.0.0.1', port), timeout=WAIT) as s:
        s.sendall(data)
        answer = b''
        while True:
            part = s.recv(65536)
            if not part:
                break
            answer += part
    head, _, rest = answer.partition(b'\r\n\r\n')
    head_lines = head.decode('latin-1').split('\r\n')
    status = int(head_lines[0].split()[1])
    fields = {}
    for line in head_lines[1:]:
        name, _, value = line.partition(':')
        fields[name.strip().lower()] = value.strip()
    return status, fields, rest


class Live:
    """The page's WebSocket, read as the page reads it: each push with the
    time it arrived."""

    def __init__(self, port, origin, token):
        """token goes in the page's cookie, as a browser sends it; None: no
        token."""
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=WAIT)
        key = base64.b64encode(os.urandom(16)).decode()
        cookie = 'Cookie: lumhost-token-%d=%s\r\n' % (port, token) if token else ''
        self.sock.sendall(('GET /live HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n'
                           'Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n'
                           'Sec-WebSocket-Version: 13\r\nOrigin: %s\r\n%s\r\n' %
                           (port, key, origin, cookie)).encode())
        self.buffer = b''
        while b'\r\n\r\n' not in self.buffer:
            part = self.sock.recv(4096)
            assert part, 'the connection closed during the handshake'
            self.buffer += part
        head, _, self.buffer = self.buffer.partition(b'\r\n\r\n')
        self.status = int(head.split(b' ')[1])
        self.pushes = []  # (arrival time, text)

    def _take(self, n):
        while len(self.buffer) < n:
            part = self.sock.recv(65536)
            if not part:
                raise EOFError
            self.buffer += part
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def read(self):
        """Reads the next message; returns its text."""
        first, second = self._take(2)
        length = second & 0x7F
        if length == 126:
            length = struct.unpack('>H', self._take(2))[0]
        elif length == 127:
            length = struct.unpack('>Q', self._take(8))[0]
        payload = self._take(length)
        if first & 0x0F == 8:
            raise EOFError
        text = payload.decode('utf-8')
        self.pushes.append((time.monotonic(), text))
        return text

    def close(self):
        self.sock.close()


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def guarded_requests(port, cases):
    """Sends each (what, method, path, headers, body, expected status) case;
    returns the failures (a wrong status, or any CORS header) and the header
    fields of each answer, in case order."""
    failures = []
    answers = []
    for what, method, path, headers, body, expected in cases:
        status, fields, _ = request(port, method, path, headers, body)
        cors = [name for name in fields if name.startswith('access-control-')]
        if status != expected or cors:
            failures.append('%s: status %d (expected %d), CORS headers %s' %
                            (what, status, expected, cors))
        answers.append((status, fields))
    return failures, answers


# Run as another user: one POST /api/key with the page's own Origin (forged)
# and no token; prints the status.
FOREIGN_PRESS = r"""
import socket, sys
port, origin = int(sys.argv[1]), sys.argv[2]
body = b'{"device": 0, "led": 1, "pressed": true}'
head = ('POST /api/key HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nOrigin: %s\r\n'
        'Content-Length: %d\r\nConnection: close\r\n\r\n' % (port, origin, len(body)))
with socket.create_connection(('127.0.0.1', port), timeout=20) as s:
    s.sendall(head.encode() + body)
    answer = b''
    while True:
        part = s.recv(65536)
        if not part:
            break
        answer += part
print(answer.split(b' ')[1].decode())
"""


def foreign_press(port, origin):
    """The status another user's program gets for a forged key press; the
    user it ran as ('nobody' when this runs as root, else this user)."""
    command = ['/usr/bin/python3', '-c', FOREIGN_PRESS, str(port), origin]
    who = 'this user'
    if os.geteuid() == 0 and os.path.exists('/usr/bin/setpriv'):
        command = ['/usr/bin/setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'] + command
        who = 'nobody'
    result = subprocess.run(command, capture_output=True, text=True, timeout=WAIT)
    check(result.returncode == 0, 'the foreign press did not run: ' + result.stderr)
    return int(result.stdout.strip()), who


def test_security(lumhost, client, profile, artefacts):
    host = Host(lumhost)
    try:
        port = host.port
        check(host.token and len(host.token) >= 32, 'no token in ' + host.url_with_token)
        own = host.auth()
        bare = {'Host': host.authority}
        origin = 'http://' + host.authority
        cookie = 'lumhost-token-%d=%s' % (port, host.token)
        press = b'{"device": 0, "led": 1, "pressed": true}'
        cases = [
            # what, method, path, headers, body, expected status
            ('the page', 'GET', '/', own, b'', 200),
            ('the page without the token', 'GET', '/', bare, b'', 401),
            ('the page with a wrong token', 'GET', '/',
             dict(bare, Authorization='Bearer ' + 'f' * len(host.token)), b'', 403),
            ('a file without the token', 'GET', '/desk.js', bare, b'', 401),
            ('the snapshot without the token', 'GET', '/desk.svg', bare, b'', 401),
            ('the page with the token in the address', 'GET', '/?token=' + host.token, bare,
             b'', 200),
            ('a file with the cookie', 'GET', '/desk.css', dict(bare, Cookie=cookie), b'', 200),
            ('a file with a wrong cookie', 'GET', '/desk.css',
             dict(bare, Cookie=cookie[:-4] + 'beef'), b'', 403),
            ('another port\'s cookie', 'GET', '/desk.css',
             dict(bare, Cookie='lumhost-token-%d=%s' % (port + 1, host.token)), b'', 401),
            ('a press with a forged Origin and no token', 'POST', '/api/key',
             dict(bare, Origin=origin), press, 401),
            ('localhost', 'GET', '/', host.auth(Host='localhost:%d' % port), b'', 200),
            ('a forwarded port', 'GET', '/desk.js', host.auth(Host='localhost:9'), b'', 200),
            ('a rebound name', 'GET', '/', host.auth(Host='evil.example:%d' % port), b'', 403),
            ('a rebound look-alike', 'GET', '/',
             host.auth(Host='127.0.0.1.evil.example:%d' % port), b'', 403),
            ('a press from the page', 'POST', '/api/key', host.auth(Origin=origin), press, 200),
            ('a press without Origin', 'POST', '/api/key', own, press, 403),
            ('a press from another site', 'POST', '/api/key',
             host.auth(Origin='http://evil.example'), press, 403),
            ('a press from an opaque origin', 'POST', '/api/key', host.auth(Origin='null'),
             press, 403),
            ('a press for a rebound name', 'POST', '/api/key',
             host.auth(Host='evil.example:%d' % port, Origin='http://evil.example:%d' % port),
             press, 403),
            ('a large body', 'POST', '/api/key', host.auth(Origin=origin), b' ' * 2000 + press,
             413),
            ('a CORS preflight', 'OPTIONS', '/api/key',
             host.auth(Origin='http://evil.example', **{'Access-Control-Request-Method': 'POST'}),
             b'', 405),
            ('a cross-site read', 'GET', '/desk.svg', host.auth(Origin='http://evil.example'),
             b'', 200),
            ('a press by GET', 'GET', '/api/key', own, b'', 405),
            ('not a key', 'POST', '/api/key', host.auth(Origin=origin),
             b'{"device": 1, "led": 120, "pressed": true}', 404),
        ]
        failures, answers = guarded_requests(port, cases)
        for (what, _, path, _, _, _), (status, fields) in zip(cases, answers):
            if '?token=' in path and status == 200:
                # The page keeps the token in a cookie no script can read and
                # no other site's request carries.
                set_cookie = fields.get('set-cookie', '')
                for part in [cookie, 'HttpOnly', 'SameSite=Strict']:
                    if part not in set_cookie:
                        failures.append('%s: the cookie %r lacks %s' % (what, set_cookie, part))
        # The live connection: the token and the page's own Origin.
        for origin_sent, token, expected in [(origin, host.token, 101),
                                             ('http://evil.example', host.token, 403),
                                             (origin, None, 401)]:
            live = Live(port, origin_sent, token)
            if live.status != expected:
                failures.append('WebSocket from %s %s the token: status %d (expected %d)' %
                                (origin_sent, 'with' if token else 'without', live.status,
                                 expected))
            live.close()
        # Another user of the machine, who can forge any header but cannot
        # read the token.
        status, who = foreign_press(port, origin)
        if status != 401:
            failures.append('a press as %s with a forged Origin: status %d' % (who, status))
        # Loopback unless told otherwise: the printed address, and the
        # socket itself (in the kernel's table of listening sockets).
        check(host.url.startswith('http://127.0.0.1:'), 'not on loopback: ' + host.url)
        listening = open('/proc/net/tcp').read()
        check(re.search(r'\d+: 0100007F:%04X 00000000:0000 0A' % port, listening),
              'no socket listening on 127.0.0.1:%d only' % port)
        check(not failures, '\n'.join(failures))
        print('security: %d requests, 3 WebSocket handshakes and a forged press as %s '
              'answered as expected' % (len(cases), who))
    finally:
        host.stop()
    # Without a token, on request: served to anyone who reaches it, with a
    # warning.
    host = Host(lumhost, extra=['--http-no-token'])
    try:
        check(host.token is None, 'a token with --http-no-token: ' + host.url_with_token)
        host.process.wait_for(r'--http-no-token: any program or user')
        status, _, _ = request(host.port, 'GET', '/', {'Host': host.authority})
        check(status == 200, '--http-no-token: status %d' % status)
    finally:
        host.stop()


class HalfOpen:
    """Keeps count connections to the port open, each with a request begun
    and never finished; one that the server closes is opened again."""

    def __init__(self, port, count):
        self.port = port
        self.count = count
        self.stop = threading.Event()
        self.opened = 0
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _open(self):
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex(('127.0.0.1', self.port))
        return s

    def _run(self):
        import selectors
        selector = selectors.DefaultSelector()
        sockets = []
        begun = b'GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n' % self.port
        while not self.stop.is_set():
            while len(sockets) < self.count:
                s = self._open()
                sockets.append(s)
                selector.register(s, selectors.EVENT_WRITE | selectors.EVENT_READ)
                self.opened += 1
            for key, events in selector.select(timeout=0.05):
                s = key.fileobj
                try:
                    if events & selectors.EVENT_READ and not s.recv(4096):
                        raise OSError('closed')
                    if events & selectors.EVENT_WRITE:
                        s.send(begun)  # and nothing more
                        selector.modify(s, selectors.EVENT_READ)
                except OSError:
                    selector.unregister(s)
                    s.close()
                    sockets.remove(s)
        for s in sockets:
            s.close()

    def close(self):
        self.stop.set()
        self.thread.join()


def test_bounds(lumhost, client, profile, artefacts):
    # 256 descriptors in all for lumhost, against 600 half-open requests
    # kept up.
    host = Host(lumhost, limit=256)
    flood = HalfOpen(host.port, 600)
    try:
        time.sleep(2)
        slowest = 0.0
        for _ in range(10):
            start = time.monotonic()
            status, _, body = request(host.port, 'GET', '/', host.auth())
            slowest = max(slowest, time.monotonic() - start)
            check(status == 200 and b'<svg' in body, 'the page did not load: status %d' % status)
        handshakes = 0
        if client != 'none':
            for _ in range(5):
                app = host.client(client, 'handshake')
                app.proc.wait(timeout=WAIT)
                handshakes += app.proc.returncode == 0
        descriptors = len(os.listdir('/proc/%d/fd' % host.process.proc.pid)) if not RUNNER else -1
        print('bounds: %d half-open connections opened; 10 page loads, the slowest %.2f s; '
              '%d of 5 clients connected; lumhost holds %d descriptors' %
              (flood.opened, slowest, handshakes, descriptors))
        check(client == 'none' or handshakes == 5, 'clients failed to connect')
    finally:
        flood.close()
        host.stop()


def api(host, method, path, body=None, headers=None):
    """A request of a script: JSON in, JSON out, with the token."""
    data = json.dumps(body).encode() if body is not None else b''
    status, _, text = request(host.port, method, path, host.auth(**(headers or {})), data)
    check(status == 200, '%s %s: status %d, %r' % (method, path, status, text))
    return json.loads(text)


def test_api(lumhost, client, profile, artefacts):
    token = 'tok-%d' % os.getpid()
    host = Host(lumhost, extra=['--http-token', token])
    try:
        check(host.token == token, '--http-token %s gave the address %s' %
              (token, host.url_with_token))
        port = host.port
        own = {'Host': host.authority}
        origin = 'http://' + host.authority
        bearer = {'Authorization': 'Bearer ' + token}
        cookie = {'Cookie': 'lumhost-token-%d=%s' % (port, token)}
        command = b'{"command": "state"}'
        cases = [
            # what, method, path, headers, body, expected status
            ('the state', 'GET', '/api/state', dict(own, **bearer), b'', 200),
            ('the state without the token', 'GET', '/api/state', own, b'', 401),
            ('the state with a wrong token', 'GET', '/api/state',
             dict(own, Authorization='Bearer ' + token + 'x'), b'', 403),
            ('the state with the token as Basic', 'GET', '/api/state',
             dict(own, Authorization='Basic ' + token), b'', 403),
            ("the state with the page's cookie", 'GET', '/api/state', dict(own, **cookie), b'',
             200),
            ('the state for a rebound name', 'GET', '/api/state',
             dict(bearer, Host='evil.example:%d' % port), b'', 403),
            ('a command from a script', 'POST', '/api/command', dict(own, **bearer), command, 200),
            ('a command from the page', 'POST', '/api/command',
             dict(own, Origin=origin, **bearer), command, 200),
            ('a command from another site', 'POST', '/api/command',
             dict(own, Origin='http://evil.example', **bearer), command, 403),
            ('a command without the token', 'POST', '/api/command', own, command, 401),
            ('a command from the page without the token', 'POST', '/api/command',
             dict(own, Origin=origin), command, 401),
            ('a command from the page with its cookie', 'POST', '/api/command',
             dict(own, Origin=origin, **cookie), command, 200),
            ('a command for a rebound name', 'POST', '/api/command',
             dict(bearer, Host='evil.example:%d' % port), command, 403),
            ('a large command', 'POST', '/api/command', dict(own, **bearer),
             b'{"command": "state", "pad": "' + b' ' * 2000 + b'"}', 413),
            ('a command by GET', 'GET', '/api/command', dict(own, **bearer), b'', 405),
            ('not a command', 'POST', '/api/command', dict(own, **bearer), b'{"cmd": 1}', 400),
            ('the page without the token', 'GET', '/', own, b'', 401),
            ('the page with the token', 'GET', '/', dict(own, **bearer), b'', 200),
        ]
        failures, _ = guarded_requests(port, cases)
        check(not failures, '\n'.join(failures))

        def state():
            return api(host, 'GET', '/api/state')

        # One row per command: the line, whether it is accepted, and what the
        # state then shows.
        rows = [
            ('stall 150', True, lambda s: s['faults']['stallMs'] == 150),
            ('stall 0', True, lambda s: s['faults']['stallMs'] == 0),
            ('freeze', True, lambda s: s['faults']['frozen']),
            ('thaw', True, lambda s: not s['faults']['frozen']),
            ('fail VelmoraGetDeviceCount 1 3', True,
             lambda s: s['faults']['failures'] == [
                 {'method': 'VelmoraGetDeviceCount', 'code': 1, 'left': 3}]),
            ('fail VelmoraGetDeviceCount 1 0', True, lambda s: s['faults']['failures'] == []),
            ('unplug 1', True, lambda s: not s['devices'][1]['plugged'] and
             s['devices'][2]['clientIndex'] == 1),
            ('plug 1', True, lambda s: s['devices'][1]['plugged']),
            ('profile builtin:jis', True, lambda s: s['profile'] == 'JIS keyboard, Japanese'),
            ('profile builtin:nope', False, lambda s: s['profile'] == 'JIS keyboard, Japanese'),
            ('profile builtin:desk', True, lambda s: len(s['devices']) == 5),
            ('drop', True, lambda s: True),
            ('restart', True, lambda s: s['clients'] == []),
            ('trace on', True, lambda s: True),
            ('press #1', True, lambda s: True),
            ('quit now', False, lambda s: True),
            ('stall forever', False, lambda s: s['faults']['stallMs'] == 0),
            ('unplug 99', False, lambda s: all(d['plugged'] for d in s['devices'])),
            ('two\nlines', False, lambda s: True),
            ('nonsense', False, lambda s: True),
        ]
        for line, ok, shows in rows:
            answer = api(host, 'POST', '/api/command', {'command': line})
            check(answer['ok'] == ok and isinstance(answer['output'], str),
                  '%r: %r' % (line, answer))
            check(shows(state()), '%r: the state shows %r' % (line, state()['faults']))

        if client != 'none':
            # What the state shows of a client: identity, priority, its
            # registration and the colour it set.
            app = host.client(client, 'keys', 1, 255, 16, 32)
            app.wait_for('^ready$')
            s = state()
            check(len(s['clients']) == 1, 'clients: %r' % s['clients'])
            c = s['clients'][0]
            check(c['identity'].startswith(':pid:') and c['registered'] and
                  c['priority'] == 128 and not c['control'], 'client: %r' % c)
            led = [led for led in s['devices'][0]['leds'] if led['id'] == 1][0]
            check(led['color'] == '#ff1020', 'LED 1: %r' % led)
            api(host, 'POST', '/api/command', {'command': 'tap #7'})
            app.wait_for('^key 7 released$')
            check(api(host, 'POST', '/api/command', {'command': 'restart'})['ok'], 'restart')
            s = state()
            check(s['clients'] == [] and
                  [led for led in s['devices'][0]['leds'] if led['id'] == 1][0]['color'] ==
                  '#000000', 'after restart: %r' % s['clients'])
            app.stop()
        answer = api(host, 'POST', '/api/command', {'command': 'quit'})
        check(answer['ok'], 'quit: %r' % answer)
        host.process.proc.wait(timeout=WAIT)
        print('api: %d guarded requests and %d commands answered as expected' %
              (len(cases), len(rows)))
    finally:
        host.stop()


def test_coalescing(lumhost, client, profile, artefacts):
    host = Host(lumhost)
    try:
        live = Live(host.port, 'http://' + host.authority, host.token)
        check(live.status == 101, 'no WebSocket: status %d' % live.status)
        live.read()  # everything, for a page that just came
        seconds = 3
        reader_done = threading.Event()

        def read_all():
            try:
                while not reader_done.is_set():
                    live.read()
            except (EOFError, OSError):
                pass

        reader = threading.Thread(target=read_all, daemon=True)
        reader.start()
        start = time.monotonic()
        flood = host.client(client, 'flood', 1000, seconds)
        summary = flood.wait_for(r'flood: (\d+) updates, last (\d+) (\d+) (\d+)')
        end = time.monotonic()
        updates = int(summary.group(1))
        last = '%02x%02x%02x' % tuple(int(summary.group(i)) for i in (2, 3, 4))
        # The last colour must still reach the page.
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            if any(('"colors":["%s' % last) in text for _, text in live.pushes[-3:]):
                break
            time.sleep(0.05)
        reader_done.set()
        flood.stop()
        during = [t for t, _ in live.pushes if start <= t <= end]
        elapsed = end - start
        print('coalescing: %d updates in %.2f s gave %d pushes (%.1f a second)' %
              (updates, elapsed, len(during), len(during) / elapsed))
        check(updates > 10 * 30 * seconds,
              'the client made only %d updates: too few to show coalescing' % updates)
        # Pushes are at least 1/30 s apart when sent; arrival may bunch a few.
        check(len(during) <= 30 * elapsed + 3, 'more than 30 pushes a second')
        check(len(during) >= 10, 'hardly any pushes: the page was not kept up to date')
        check(any(('"colors":["%s' % last) in text for _, text in live.pushes),
              'the last colour %s never reached the page' % last)
        live.close()
    finally:
        host.stop()


def headless_chromium(profile_dir):
    """Debian's chromium, headless at 1280x800, with a profile of its own and
    nothing that reaches the network."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
                 '--no-first-run', '--disable-background-networking',
                 '--disable-component-update', '--disable-sync',
                 '--user-data-dir=' + profile_dir, '--window-size=1280,800']:
        options.add_argument(flag)
    return webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)


def test_browser(lumhost, client, profile, artefacts):
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
    import tempfile

    os.makedirs(artefacts, exist_ok=True)
    # The profile: Esc is LED 1 (key id 1); F1 is LED 2 with vendorKey 201.
    host = Host(lumhost, profile=profile)
    app = host.client(client, 'keys', 1, 255, 0, 128)
    profile_dir = tempfile.mkdtemp(prefix='lumhost-chromium-')
    driver = None
    try:
        app.wait_for(r'^ready$')
        driver = headless_chromium(profile_dir)
        driver.set_window_size(1280, 800)
        driver.get(host.url_with_token)
        wait = WebDriverWait(driver, WAIT)
        wait.until(lambda d: d.find_element(By.TAG_NAME, 'body').get_attribute('data-ready'))

        # The colour the client set shows on the key's own element.
        esc = driver.find_element(By.ID, 'led-0-1')
        wait.until(lambda d: esc.get_attribute('fill') == '#ff0080')
        # The panel lists the client, registered for keys.
        wait.until(lambda d: 'yes' in d.find_element(By.ID, 'clients').text)
        check(':pid:' in driver.find_element(By.ID, 'clients').text, 'no client in the panel')
        shot = os.path.join(artefacts, 'lumhost-page-1280x800.png')
        driver.save_screenshot(shot)
        print('screenshot: ' + shot)

        # A click on F1: press, then release, with F1's vendorKey.
        mark = len(app.lines)
        ActionChains(driver).click(driver.find_element(By.ID, 'led-0-2')).perform()
        app.wait_for(r'^key 201 pressed$', mark)
        released = app.wait_for(r'^key 201 released$', mark)
        order = [line for line in app.lines[mark:] if line.startswith('key 201')]
        check(order[:2] == ['key 201 pressed', 'key 201 released'],
              'not press then release: %s' % order)
        check(released, 'no release')

        # Typing on the page: Escape is the key labelled Esc, key id 1.
        mark = len(app.lines)
        ActionChains(driver).send_keys(Keys.ESCAPE).perform()
        app.wait_for(r'^key 1 pressed$', mark)
        app.wait_for(r'^key 1 released$', mark)

        # Usable at 800 by 600: the keys still take clicks.
        driver.set_window_size(800, 600)
        f1 = driver.find_element(By.ID, 'led-0-2')
        check(f1.is_displayed(), 'F1 is not shown at 800x600')
        mark = len(app.lines)
        ActionChains(driver).click(f1).perform()
        app.wait_for(r'^key 201 released$', mark)
        shot = os.path.join(artefacts, 'lumhost-page-800x600.png')
        driver.save_screenshot(shot)
        print('screenshot: ' + shot)
        # Nothing the page asked for was refused or missing.
        problems = [entry['message'] for entry in driver.get_log('browser')
                    if entry['level'] in ('SEVERE', 'WARNING')]
        check(not problems, 'the browser reported: %s' % problems)

        # Another desk served: the page loads it, picture and title.
        check(api(host, 'POST', '/api/command', {'command': 'profile builtin:jis'})['ok'],
              'profile builtin:jis')
        wait.until(lambda d: 'JIS' in d.title and
                   d.find_element(By.TAG_NAME, 'body').get_attribute('data-ready'))
        print('browser: colour shown, click and typed key reached the client, new desk shown')
    finally:
        if driver is not None:
            driver.quit()
        app.stop()
        host.stop()
        subprocess.run(['rm', '-rf', profile_dir])


RUNNER = []


def main():
    global RUNNER
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    part, runner, lumhost, client, profile, artefacts = sys.argv[1:]
    RUNNER = [] if runner == 'native' else [runner]
    {'security': test_security, 'bounds': test_bounds, 'api': test_api,
     'coalescing': test_coalescing,
     'browser': test_browser}[part](lumhost, client, profile, artefacts)


if __name__ == '__main__':
    main()
