#!/usr/bin/env python3
"""tavik-verify --report read back by headless Chromium, as a person's browser reads it: a run with every verdict
and hostile names, its audit, a run stopped on a difference, and Ctrl+C keeping an older report.

Usage: report_test.py BUILD_DIR FAULT_LIB [--screenshot PNG]  (under the Wine runtime scripts/test sets up)"""
import html.parser
import os
import re
import shutil
import signal
import subprocess
import sys
import time

BUILD, FAULT_LIB = sys.argv[1], sys.argv[2]
SCREENSHOT = sys.argv[4] if len(sys.argv) > 4 and sys.argv[3] == '--screenshot' else None
# Drive T: of the test prefix is build/drive_t: the page shows paths as a user's would look.
DRIVE_T = os.path.join(BUILD, 'drive_t')
WORK = os.path.join(DRIVE_T, 'report')
SIDES = {'1': os.path.join(WORK, 'data'), '2': os.path.join(WORK, 'backup')}
RULES = os.path.join(WORK, 'fault-rules.txt')
CHROMIUM = ['chromium', '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
            '--disable-background-networking', '--disable-component-update', '--disable-sync']
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAILED:', what, file=sys.stderr)


def win(path):
    return 'T:\\' + os.path.relpath(path, DRIVE_T).replace('/', '\\')


def pattern(n):
    # No zero byte anywhere: a zeroed block is then all marked.
    return bytes((i * 7 + 1) % 255 + 1 for i in range(n))


def make_tree():
    shutil.rmtree(WORK, ignore_errors=True)
    data = pattern(8192)
    for side in '12':
        root = SIDES[side]
        os.makedirs(os.path.join(root, 'many'))
        os.makedirs(os.path.join(root, 'sub'))
        os.makedirs(os.path.join(root, 'target'))
        # More "same" rows than the page lists.
        for i in range(1001):
            open(os.path.join(root, 'many', 'f%04d' % i), 'wb').close()
        put = lambda name, content: open(os.path.join(root, name), 'wb').write(content)
        put("a&b; #1 'q'.txt", b'abc')
        put('sub/x', b'x')
        put('tab\tname.txt', b'22')
        put('readerr.bin', data)
        put('size.bin', b'0123456789' + (b'' if side == '1' else b'!'))
        flipped = bytearray(data[:4096])
        if side == '2':
            flipped[1000] ^= 0x08
        put('bitflip.bin', bytes(flipped))
        zeroed = bytearray(data)
        if side == '2':
            zeroed[4096:4608] = bytes(512)
        put('zeroed.bin', bytes(zeroed))
        os.symlink('target', os.path.join(root, 'lnk'))
    open(os.path.join(SIDES['1'], '&lt;i&gt;entity&#39;s.txt'), 'wb').write(b'1')
    # Wine hands "<", ">" and '"' of a Linux name to the program; a page that took them for markup would grow an image.
    open(os.path.join(SIDES['2'], '<img src=x onerror="alert(1)">.txt'), 'wb').write(b'2')
    with open(RULES, 'w') as rules:
        rules.write('eio %s 0\n' % os.path.join(SIDES['2'], 'readerr.bin'))
        rules.write('listfail %s 0\n' % os.path.join(SIDES['1'], 'sub'))


def verify(*args, **popen):
    env = dict(os.environ, LD_PRELOAD=FAULT_LIB, TAVIK_FAULT_RULES=RULES)
    return subprocess.Popen([os.path.join(BUILD, 'wine-exec'), os.path.join(BUILD, 'tavik-verify.exe')] + list(args),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, **popen)


def unescape_tsv(field):
    return re.sub(r'\\(u[0-9a-f]{4}|.)', lambda m: {'t': '\t', 'n': '\n', 'r': '\r', '\\': '\\'}.get(
        m.group(1), chr(int(m.group(1)[1:], 16)) if m.group(1)[0] == 'u' else m.group(0)), field)


def tsv_rows(out):
    rows = [line.split('\t') for line in out.decode('utf-8').splitlines()[1:]]
    return [(unescape_tsv(r[1]), r[0], r[2], r[3]) for r in rows]


def shown(name):
    # What the page shows of a name: the name, each control as its picture.
    return ''.join(chr(0x2400 + ord(c)) if ord(c) < 0x20 else c for c in name)


class Node:
    def __init__(self, tag, attrs, parent):
        self.tag, self.attrs, self.parent, self.children = tag, dict(attrs), parent, []

    def text(self):
        return ''.join(c if isinstance(c, str) else c.text() for c in self.children)

    def all(self, tag=None, cls=None):
        for c in self.children:
            if isinstance(c, Node):
                if (tag is None or c.tag == tag) and (cls is None or cls in c.attrs.get('class', '').split()):
                    yield c
                yield from c.all(tag, cls)

    def first(self, tag=None, cls=None):
        return next(self.all(tag, cls), None)


class Dom(html.parser.HTMLParser):
    VOID = {'meta', 'br', 'img', 'input', 'link', 'hr', 'rect'}

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.root = self.node = Node('#document', [], None)
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        node = Node(tag, attrs, self.node)
        self.node.children.append(node)
        if tag not in self.VOID:
            self.node = node

    def handle_startendtag(self, tag, attrs):
        self.node.children.append(Node(tag, attrs, self.node))

    def handle_endtag(self, tag):
        n = self.node
        while n is not None and n.tag != tag:
            n = n.parent
        if n is not None and n.parent is not None:
            self.node = n.parent

    def handle_data(self, data):
        self.node.children.append(data)


def load(pages):
    """Each page's DOM as Chromium built it, the pages loaded side by side."""
    procs = []
    for i, page in enumerate(pages):
        profile = os.path.join(WORK, 'chromium-%d' % i)
        procs.append(subprocess.Popen(CHROMIUM + ['--user-data-dir=' + profile, '--dump-dom', 'file://' + page],
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
    return [Dom(p.communicate(timeout=120)[0].decode('utf-8')) for p in procs]


def rows_of(dom, section):
    body = dom.root.first('section', section)
    return {} if body is None else {
        r.first('td', 'name').text(): r for r in body.all('tr') if r.first('td', 'name') is not None}


def cells(row):
    return [td.text() for td in row.children if isinstance(td, Node) and td.tag == 'td']


def view_of(row):
    """The row after a problem's row that holds its byte view, or None."""
    siblings = [c for c in row.parent.children if isinstance(c, Node)]
    after = siblings[siblings.index(row) + 1:]
    return after[0] if after and after[0].attrs.get('class') == 'view' else None


def byte_view(row):
    """Each side's hex bytes and the indexes marked as differing."""
    sides = []
    for tr in view_of(row).first('table', 'bytes').all('tr'):
        hexcell = tr.first('div', 'hex')
        tokens, marked = [], []
        for c in hexcell.children:
            for tok in (c if isinstance(c, str) else c.text()).split():
                if not isinstance(c, str):
                    marked.append(len(tokens))
                tokens.append(tok)
        sides.append((tokens, marked))
    return sides


def main():
    make_tree()
    tree1, tree2 = SIDES['1'], SIDES['2']
    pages = [os.path.join(WORK, n) for n in ('all.html', 'check.html', 'stopped.html')]
    manifest = os.path.join(WORK, 'sums.sha256')

    run = verify('-r', '--manifest', win(manifest), '--report', win(pages[0]), win(tree1), win(tree2))
    out, err = run.communicate(timeout=300)
    check(run.returncode == 2, 'the run with every verdict ends with 2, not %s: %s' % (run.returncode, err[-500:]))
    rows = tsv_rows(out)
    audit = verify('-r', '--check', win(manifest), '--report', win(pages[1]), win(tree2))
    audit.communicate(timeout=300)
    stopped = verify('--stop-on-diff', '--report', win(pages[2]), win(tree1), win(tree2))
    stopped_out, _ = stopped.communicate(timeout=300)
    check(stopped.returncode == 1, 'the stopped run ends with 1, not %s' % stopped.returncode)
    dom, check_dom, stopped_dom = load(pages)

    # Every verdict but those of a break, as the rows have them; the counts as drawn.
    verdicts = {}
    for _, verdict, _, _ in rows:
        verdicts[verdict] = verdicts.get(verdict, 0) + 1
    expected = {'same': 1002, 'differs': 2, 'size': 1, 'only1': 1, 'only2': 1, 'cannot-open': 1, 'read-error': 1,
                'skipped': 1, 'cannot-list': 1}
    check(verdicts == expected, 'the rows written: %s' % verdicts)
    counts = {tr.attrs['class'].split()[0][2:]: int(tr.first('td', 'num').text().replace(',', ''))
              for tr in dom.root.first('section', 'counts').all('tr')}
    check(all(counts.get(v, 0) == expected.get(v, 0) for v in set(counts) | set(expected)), 'counts %s' % counts)
    check(all(tr.first('rect') is not None and (int(tr.first('rect').attrs['width']) > 0) == (counts[v] > 0)
              for v, tr in ((tr.attrs['class'].split()[0][2:], tr) for tr in dom.root.first('section', 'counts').all('tr'))),
          'a bar for each verdict found, none for the others')
    stopped_counts = {tr.attrs['class'].split()[0][2:]: tr.first('td', 'num').text()
                      for tr in stopped_dom.root.first('section', 'counts').all('tr')}
    check(stopped_counts.get('not-compared') == str(sum(1 for r in tsv_rows(stopped_out) if r[1] == 'not-compared'))
          and stopped_counts['not-compared'] != '0', 'not-compared counted after a stop: %s' % stopped_counts)

    # Every row that is not "same", as written: name exactly, verdict, both sizes. The files made here have equal
    # times, so their differs and size rows are damage, in a section of their own.
    damage = rows_of(dom, 'damage')
    check(sorted(damage) == ['bitflip.bin', 'size.bin', 'zeroed.bin'], 'damage rows %r' % sorted(damage))
    problems = dict(rows_of(dom, 'problems'), **damage)
    want = {shown(name): (verdict, s1, s2) for name, verdict, s1, s2 in rows if verdict != 'same'}
    got = {name: (tr.attrs['class'], cells(tr)[2].replace(',', ''), cells(tr)[3].replace(',', ''))
           for name, tr in problems.items()}
    check(got == want, 'problem rows\n  got  %r\n  want %r' % (got, want))
    check("&lt;i&gt;entity&#39;s.txt" in got and '<img src=x onerror="alert(1)">.txt' in got and 'tab\u2409name.txt' in got,
          'hostile names shown as they are: %r' % sorted(got))
    same = rows_of(dom, 'same')
    check(len(same) == 1000 and "a&b; #1 'q'.txt" in same and dom.root.first('p', 'cut') is not None,
          'same rows listed up to the limit, the cut said: %d' % len(same))

    # The byte views: one flipped bit, a zeroed block.
    data = pattern(8192)
    flip = byte_view(problems['bitflip.bin'])
    hexes = lambda b: ['%02x' % c for c in b]
    flipped = bytearray(data[984:1017])
    flipped[16] ^= 0x08
    check(flip == [(hexes(data[984:1017]), [16]), (hexes(flipped), [16])], 'bit flip view %r' % flip)
    bit = view_of(problems['bitflip.bin']).first('span', 'bit')
    check(bit is not None and bit.text() == '1 bit', 'bit flip says 1 bit')
    check('1,000' in cells(problems['bitflip.bin'])[4], 'bit flip offset')
    zero = byte_view(problems['zeroed.bin'])
    check(zero == [(hexes(data[4080:4113]), list(range(16, 33))), (hexes(data[4080:4096]) + ['00'] * 17, list(range(16, 33)))],
          'zeroed block view %r' % zero)
    check(view_of(problems['zeroed.bin']).first('span', 'bit') is None and '4,096' in cells(problems['zeroed.bin'])[4],
          'zeroed block: offset, no "1 bit"')

    # Names are text: the page has only the elements it writes, none with a handler, and a policy without scripts.
    allowed = {'#document', 'html', 'head', 'meta', 'title', 'style', 'body', 'div', 'section', 'header', 'h1', 'h2',
               'p', 'table', 'thead', 'tbody', 'tr', 'th', 'td', 'code', 'b', 'span', 'svg', 'rect', 'ul', 'li'}
    for d in (dom, check_dom, stopped_dom):
        tags = {n.tag for n in d.root.all()}
        check(tags <= allowed, 'elements not written by the page: %s' % (tags - allowed))
        check(not any(a.startswith('on') for n in d.root.all() for a in n.attrs), 'an element with a handler')
        csp = [n.attrs.get('content', '') for n in d.root.all('meta') if n.attrs.get('http-equiv') == 'Content-Security-Policy']
        check(len(csp) == 1 and "default-src 'none'" in csp[0] and 'script' not in csp[0], 'policy %r' % csp)

    # The head: both folders or the manifest, and the status in words.
    head = dom.root.first('header', 'head')
    check(head is not None and win(tree1) + '\\' in head.text() and win(tree2) + '\\' in head.text(), 'head folders')
    check(head.first('td', 'status').text().startswith('2 '), 'head status %r' % head.first('td', 'status').text())
    audit_head = check_dom.root.first('header', 'head')
    check(audit_head is not None and win(manifest) in audit_head.text(), 'audit head names the manifest')
    audit_rows = rows_of(check_dom, 'problems')
    check('bitflip.bin' in audit_rows and view_of(audit_rows['bitflip.bin']) is None and
          audit_rows['bitflip.bin'].attrs['class'] == 'differs', 'audit: differs without a byte view')

    # Ctrl+C while a read stalls: the older report stays, and no temporary file.
    old = os.path.join(WORK, 'old.html')
    open(old, 'w').write('older report\n')
    open(RULES, 'a').write('stall %s 120\n' % os.path.join(tree2, 'zeroed.bin'))
    broken = verify('--progress', '--report', win(old), win(tree1), win(tree2), start_new_session=True)
    seen, deadline = b'', time.time() + 60
    os.set_blocking(broken.stderr.fileno(), False)
    while b'zeroed.bin' not in seen and time.time() < deadline and broken.poll() is None:
        time.sleep(0.05)
        seen += broken.stderr.read() or b''
    check(b'zeroed.bin' in seen, 'the run reached the stalled file')
    os.kill(broken.pid, signal.SIGINT)
    broken.communicate(timeout=60)
    check(broken.returncode == 3, 'Ctrl+C ends with 3, not %s' % broken.returncode)
    check(open(old).read() == 'older report\n', 'Ctrl+C left the older report as it was')
    check(not [n for n in os.listdir(WORK) if n.endswith('.tmp')], 'no temporary file left')

    if SCREENSHOT:
        subprocess.run(CHROMIUM + ['--user-data-dir=' + os.path.join(WORK, 'chromium-shot'), '--hide-scrollbars',
                                   '--window-size=1100,1400', '--screenshot=' + SCREENSHOT, 'file://' + pages[0]],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    if failures:
        sys.exit('%d check(s) failed' % len(failures))
    print('report: every check passed')


main()
