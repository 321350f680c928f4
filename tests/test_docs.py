"""The guide in docs/ hangs together: its links and pictures exist, every picture is shown
somewhere and made by docs/make_pictures.py, and every learner program has its page."""

import os
import re
import sys

import cv2
import pytest
from layout import DOCS, EXAMPLES

PICTURES = os.path.join(DOCS, "pictures")
LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def pages():
    return sorted(name for name in os.listdir(DOCS) if name.endswith(".md"))


def text(page):
    with open(os.path.join(DOCS, page), encoding="utf-8") as f:
        return f.read()


def links(page):
    return LINK.findall(text(page))


def anchors(page):
    """GitHub's ids of the page's headings."""
    ids = []
    for heading in re.findall(r"^#+ (.*)$", text(page), re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        ids.append(slug)
    return ids


def make_pictures():
    sys.path.insert(0, DOCS)
    try:
        import make_pictures
    finally:
        sys.path.remove(DOCS)
    return make_pictures


@pytest.mark.parametrize("page", pages())
def test_links_lead_somewhere(page):
    for link in links(page):
        if re.match(r"\w+://", link):
            continue
        path, _, anchor = link.partition("#")
        target = os.path.normpath(os.path.join(DOCS, path)) if path else os.path.join(DOCS, page)
        if target.startswith(EXAMPLES + os.sep) and not os.path.isdir(EXAMPLES):
            continue  # the learner programs are not in this checkout
        assert os.path.exists(target), f"{page}: {link}"
        if anchor:
            assert anchor in anchors(os.path.basename(target)), f"{page}: {link}"


def test_the_index_leads_to_every_page():
    linked = {link.partition("#")[0] for link in links("README.md")}
    assert linked >= set(pages()) - {"README.md"}


def test_every_picture_is_made_by_the_script_and_shown_on_a_page():
    script = make_pictures()
    made = {shot.name for shot in script.SHOTS} | {script.WEB_VIEW} | set(script.DRAWINGS)
    files = os.listdir(PICTURES)
    assert sorted(os.path.splitext(name)[0] for name in files) == sorted(made)
    shown = {
        os.path.basename(link)
        for page in pages()
        for link in links(page)
        if link.startswith("pictures/")
    }
    assert shown == set(files)


def test_pictures_are_small():
    total = 0
    for name in os.listdir(PICTURES):
        path = os.path.join(PICTURES, name)
        picture = cv2.imread(path)
        assert picture is not None and picture.shape[1] <= 640, name
        total += os.path.getsize(path)
    assert total < 400 * 1024


def test_the_kits_model_reads_every_sign_card_on_the_model_page(monkeypatch):
    from control_zelk import kit, optik

    monkeypatch.setattr(optik, "model_path", os.path.join(kit.DATA, "model", ""))
    signs = optik.model_recognize("qmt4082.proto")
    cards = make_pictures().sign_cards()
    assert sorted(cls for cls, _ in cards) == list(range(12))
    for cls, card in cards:
        signs.recognize(card)
        assert int(signs.pro.argmax()) == cls and float(signs.pro.max()) > 0.99, cls
    assert "pictures/model_signs.png" in links("model-recognition.md")


@pytest.mark.skipif(not os.path.isdir(EXAMPLES), reason="no examples/ in this checkout")
def test_every_example_has_a_page_and_its_picture_program_exists():
    programs = sorted(n for n in os.listdir(EXAMPLES) if n.endswith(".py"))
    referenced = {
        os.path.basename(link) for page in pages() for link in links(page) if "examples/" in link
    }
    assert set(programs) <= referenced
    for shot in make_pictures().SHOTS:
        if shot.program.startswith("examples/"):
            assert os.path.basename(shot.program) in programs, shot.name


# -- the table of units ------------------------------------------------------------------------

FIGURE = re.compile(r"([\d.]+) (cm/s|°/s|cm)\b")
EXAMPLE = re.compile(r"`(\w+)\((\d+)\)` → ([\d.]+) (cm/s|°/s)")  # `car_go(30)` → 15 cm/s


def constant_rows(page):
    """(constant, the row's cells) for each table row of the page whose last cell names one of
    the car's constants."""
    for line in text(page).splitlines():
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        if line.startswith("|") and re.fullmatch(
            r"`[a-z_]+_(cm_s_per_unit|deg_s_per_unit|cm)`", cells[-1]
        ):
            yield cells[-1].strip("`"), cells


@pytest.fixture(scope="module")
def car_constants():
    """The car's constants, the same in every shipped world (the units page has one table)."""
    from zelk_run import world

    cars = {}
    for name in world.shipped_worlds():
        constants = world.car_constants(name)
        cars[name] = {k: v for k, v in constants.items() if k not in ("name", "size_cm")}
    first = next(iter(cars.values()))
    assert all(car == first for car in cars.values()), "a shipped world has a car of its own"
    return first


def unit_of(constant):
    return "°/s" if "_deg_s_" in constant else "cm/s" if "_cm_s_" in constant else "cm"


def test_the_units_table_gives_the_simulators_constants(car_constants):
    checked = set()
    for constant, cells in constant_rows("units.md"):
        assert constant in car_constants, f"units.md names no constant {constant}"
        figure = next(m for cell in cells[1:] for m in FIGURE.finditer(cell))
        assert (float(figure.group(1)), figure.group(2)) == (
            car_constants[constant],
            unit_of(constant),
        ), constant
        checked.add(constant)
    speeds = {k for k in car_constants if k.endswith("_per_unit")}
    assert checked >= speeds | {"ultrasonic_forward_cm", "ultrasonic_min_cm", "ultrasonic_max_cm"}


def test_speed_examples_on_every_page_follow_the_constants(car_constants):
    """`car_go(30)` → 15 cm/s, wherever a page says it: the call's constant is the one of the
    units table's row that names the call."""
    constant_of = {
        call: constant
        for constant, cells in constant_rows("units.md")
        for call in re.findall(r"`(?:\w+\(\)\.)?(\w+)", cells[1])
    }
    examples = [(page, m) for page in pages() for m in EXAMPLE.findall(text(page))]
    assert len(examples) >= 6
    for page, (call, speed, shown, unit) in examples:
        constant = constant_of[call]
        expected = (int(speed) * car_constants[constant], unit_of(constant))
        assert (float(shown), unit) == expected, f"{page}: {call}({speed})"


def test_the_device_pages_lead_to_the_units():
    for page in (
        "driving.md",
        "ultrasonic.md",
        "io-and-pwm.md",
        "servo.md",
        "dc-motor.md",
        "line-tracker.md",
    ):
        assert "units.md" in links(page), page
