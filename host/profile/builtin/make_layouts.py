#!/usr/bin/python3
"""Writes the keyboard layout profiles of lumhost (ansi-us.json, iso-de.json,
iso-uk.json, azerty-fr.json, jis.json) into this folder:

    python3 host/profile/builtin/make_layouts.py

Every layout is the same full-size keyboard body as the built-in desk's, with
keys on a 19.05 mm grid. LED ids follow the physical key, not its label: the
key beside Tab is LED 39 on every layout, labelled Q on QWERTY and QWERTZ and
A on AZERTY. Keys that ANSI does not have get ids of their own (106 and up),
so an application that takes LED ids from a US layout meets the differences
it would meet on real hardware. Key labels are printable ASCII, as profiles
want them: letters beyond ASCII are spelt out (Ue for the German U umlaut,
EAcute for the French e acute).
"""
import json
import os

U = 19.05          # one key unit, millimetres
GAP = 1.05         # between two keycaps
LEFT = 8.53        # the first column's left edge
ROW_TOP = [8.53, 32.34, 51.39, 70.44, 89.49, 108.54]
LOGO_LED = 106 - 1  # the keyboard's logo strip, as on the desk

# Ids of keys that the ANSI layout does not have.
ISO_HASH = 106     # ISO: left of Enter on the home row (JIS: the same place)
ISO_ANGLE = 107    # ISO: right of a short left Shift
JIS_YEN = 108      # JIS: left of a short Backspace
JIS_RO = 109       # JIS: left of a short right Shift
JIS_MUHENKAN = 110
JIS_HENKAN = 111
JIS_KANA = 112


def key(led, label, column, row, width=1.0, height=1.0, vendor=0):
    entry = {'id': led, 'key': label, 'left': round(LEFT + column * U, 2),
             'top': ROW_TOP[row], 'width': round(width * U - GAP, 2),
             'height': round(height * (ROW_TOP[2] - ROW_TOP[1]) - GAP, 2)}
    if vendor:
        entry['vendorKey'] = vendor
    return entry


def row_of(ids_labels, row, start, widths=None):
    """Keys side by side from column start: [(id, label)], widths in units."""
    keys = []
    column = start
    for i, (led, label) in enumerate(ids_labels):
        width = widths[i] if widths else 1.0
        keys.append(key(led, label, column, row, width))
        column += width
    return keys


def common_blocks():
    """Everything right of the main block, and the function row: the same on
    every layout."""
    keys = [key(1, 'Esc', 0, 0)]
    for i in range(12):
        keys.append(key(2 + i, 'F%d' % (i + 1), 2 + i + (i // 4) * 0.5, 0))
    nav_col = 15.25
    keys += row_of([(14, 'PrtSc'), (15, 'ScrLk'), (16, 'Pause')], 0, nav_col)
    keys += row_of([(31, 'Ins'), (32, 'Home'), (33, 'PgUp')], 1, nav_col)
    keys += row_of([(52, 'Del'), (53, 'End'), (54, 'PgDn')], 2, nav_col)
    keys.append(key(87, 'Up', nav_col + 1, 4))
    keys += row_of([(100, 'Left'), (101, 'Down'), (102, 'Right')], 5, nav_col)
    num = 18.5
    keys += row_of([(34, 'NumLock'), (35, 'Num/'), (36, 'Num*'), (37, 'Num-')], 1, num)
    keys += row_of([(55, 'Num7'), (56, 'Num8'), (57, 'Num9')], 2, num)
    keys.append(key(58, 'Num+', num + 3, 2, height=2))
    keys += row_of([(72, 'Num4'), (73, 'Num5'), (74, 'Num6')], 3, num)
    keys += row_of([(88, 'Num1'), (89, 'Num2'), (90, 'Num3')], 4, num)
    keys.append(key(91, 'NumEnter', num + 3, 4, height=2))
    keys.append(key(103, 'Num0', num, 5, width=2))
    keys.append(key(104, 'Num.', num + 2, 5))
    return keys


def labelled(ids, labels):
    return list(zip(ids, labels))


NUMBER_IDS = list(range(17, 30))        # ` 1 2 ... 0 - =
TOP_IDS = list(range(39, 51))           # Q ... P [ ]
HOME_IDS = list(range(60, 71))          # A ... L ; '
BOTTOM_IDS = list(range(76, 86))        # Z ... M , . /
BOTTOM_ROW = [(92, 'LCtrl'), (93, 'LWin'), (94, 'LAlt'), (95, 'Space'), (96, 'RAlt'),
              (97, 'Fn'), (98, 'Menu'), (99, 'RCtrl')]
BOTTOM_WIDTHS = [1.25, 1.25, 1.25, 6.25, 1.25, 1.25, 1.25, 1.25]


def ansi(number, top, home, bottom):
    keys = row_of(labelled(NUMBER_IDS, number), 1, 0) + [key(30, 'Backspace', 13, 1, 2)]
    keys += [key(38, 'Tab', 0, 2, 1.5)] + row_of(labelled(TOP_IDS, top), 2, 1.5)
    keys.append(key(51, 'Backslash', 13.5, 2, 1.5))
    keys += [key(59, 'CapsLock', 0, 3, 1.75)] + row_of(labelled(HOME_IDS, home), 3, 1.75)
    keys.append(key(71, 'Enter', 12.75, 3, 2.25))
    keys += [key(75, 'LShift', 0, 4, 2.25)] + row_of(labelled(BOTTOM_IDS, bottom), 4, 2.25)
    keys.append(key(86, 'RShift', 12.25, 4, 2.75))
    keys += row_of(BOTTOM_ROW, 5, 0, BOTTOM_WIDTHS)
    return keys


def iso(number, top, home, hash_label, angle_label, bottom):
    """ISO: a tall Enter over two rows, a key left of it on the home row and
    one right of a short left Shift."""
    keys = row_of(labelled(NUMBER_IDS, number), 1, 0) + [key(30, 'Backspace', 13, 1, 2)]
    keys += [key(38, 'Tab', 0, 2, 1.5)] + row_of(labelled(TOP_IDS, top), 2, 1.5)
    # One LED under the whole Enter key; its box is the key's upper, wider part
    # grown down over the home row.
    keys.append(key(71, 'Enter', 13.5, 2, 1.5, height=2))
    keys += [key(59, 'CapsLock', 0, 3, 1.75)] + row_of(labelled(HOME_IDS, home), 3, 1.75)
    keys.append(key(ISO_HASH, hash_label, 12.75, 3))
    keys += [key(75, 'LShift', 0, 4, 1.25), key(ISO_ANGLE, angle_label, 1.25, 4)]
    keys += row_of(labelled(BOTTOM_IDS, bottom), 4, 2.25)
    keys.append(key(86, 'RShift', 12.25, 4, 2.75))
    keys += row_of(BOTTOM_ROW, 5, 0, BOTTOM_WIDTHS)
    return keys


def jis():
    number = ['Hankaku', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '-', '^']
    keys = row_of(labelled(NUMBER_IDS, number), 1, 0)
    keys += [key(JIS_YEN, 'Yen', 13, 1), key(30, 'Backspace', 14, 1)]
    top = list('QWERTYUIOP') + ['@', '[']
    keys += [key(38, 'Tab', 0, 2, 1.5)] + row_of(labelled(TOP_IDS, top), 2, 1.5)
    keys.append(key(71, 'Enter', 13.5, 2, 1.5, height=2))
    home = list('ASDFGHJKL') + [';', ':']
    keys += [key(59, 'Eisu', 0, 3, 1.75)] + row_of(labelled(HOME_IDS, home), 3, 1.75)
    keys.append(key(ISO_HASH, ']', 12.75, 3))
    bottom = list('ZXCVBNM') + [',', '.', '/']
    keys += [key(75, 'LShift', 0, 4, 2.25)] + row_of(labelled(BOTTOM_IDS, bottom), 4, 2.25)
    keys += [key(JIS_RO, 'Ro', 12.25, 4), key(86, 'RShift', 13.25, 4, 1.75)]
    row = [(92, 'LCtrl'), (93, 'LWin'), (94, 'LAlt'), (JIS_MUHENKAN, 'Muhenkan'), (95, 'Space'),
           (JIS_HENKAN, 'Henkan'), (JIS_KANA, 'Kana'), (96, 'RAlt'), (98, 'Menu'), (99, 'RCtrl')]
    keys += row_of(row, 5, 0, [1.25, 1.25, 1.25, 1.25, 3.75, 1.25, 1.25, 1.25, 1.25, 1.25])
    return keys


LAYOUTS = {
    # name: (profile name, model, physicalLayout, logicalLayout, main block)
    'ansi-us': ('ANSI keyboard, US (QWERTY)', 'Demo Keyboard K104 US', 1, 1, ansi(
        ['`', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '-', '='],
        list('QWERTYUIOP') + ['[', ']'], list('ASDFGHJKL') + [';', "'"],
        list('ZXCVBNM') + [',', '.', '/'])),
    'iso-de': ('ISO keyboard, German (QWERTZ)', 'Demo Keyboard K105 DE', 2, 2, iso(
        ['^', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'Eszett', 'Acute'],
        list('QWERTZUIOP') + ['Ue', '+'], list('ASDFGHJKL') + ['Oe', 'Ae'], '#',
        '<', list('YXCVBNM') + [',', '.', '-'])),
    'iso-uk': ('ISO keyboard, UK (QWERTY)', 'Demo Keyboard K105 UK', 2, 3, iso(
        ['`', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', '-', '='],
        list('QWERTYUIOP') + ['[', ']'], list('ASDFGHJKL') + [';', "'"], '#', 'Backslash',
        list('ZXCVBNM') + [',', '.', '/'])),
    'azerty-fr': ('ISO keyboard, French (AZERTY)', 'Demo Keyboard K105 FR', 2, 4, iso(
        ['Square', '&', 'EAcute', '"', "'", '(', '-', 'EGrave', '_', 'CCedilla', 'AGrave', ')',
         '='],
        list('AZERTYUIOP') + ['^', '$'], list('QSDFGHJKLM') + ['UGrave'], '*', '<',
        list('WXCVBN') + [',', ';', ':', '!'])),
    'jis': ('JIS keyboard, Japanese', 'Demo Keyboard K109 JP', 3, 5, jis()),
}


def profile(name, model, physical, logical, main):
    leds = sorted(main + common_blocks(), key=lambda led: led['id'])
    leds.append({'id': LOGO_LED, 'left': 360.43, 'top': 10, 'width': 75.15, 'height': 10})
    leds.sort(key=lambda led: led['id'])
    ids = [led['id'] for led in leds]
    assert len(ids) == len(set(ids)), name
    return {'name': name, 'devices': [{
        'type': 'keyboard', 'model': model, 'physicalLayout': physical,
        'logicalLayout': logical, 'capsMask': 3, 'deskLeft': 0, 'deskTop': 0,
        'width': 444.63, 'height': 135.06, 'leds': leds}]}


def write(path, value):
    devices = value['devices']
    lines = ['{', '  "name": %s,' % json.dumps(value['name'], ensure_ascii=False),
             '  "devices": [', '    {']
    device = devices[0]
    for member in ('type', 'model', 'physicalLayout', 'logicalLayout', 'capsMask', 'deskLeft',
                   'deskTop', 'width', 'height'):
        lines.append('      "%s": %s,' % (member, json.dumps(device[member], ensure_ascii=False)))
    lines.append('      "leds": [')
    for i, led in enumerate(device['leds']):
        text = json.dumps(led, ensure_ascii=False)
        lines.append('        ' + text + (',' if i + 1 < len(device['leds']) else ''))
    lines += ['      ]', '    }', '  ]', '}', '']
    with open(path, 'w', encoding='utf-8') as out:
        out.write('\n'.join(lines))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    for file, (name, model, physical, logical, main_block) in LAYOUTS.items():
        write(os.path.join(here, file + '.json'),
              profile(name, model, physical, logical, main_block))


if __name__ == '__main__':
    main()
