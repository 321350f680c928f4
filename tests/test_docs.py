"""The guide in docs/ hangs together: its links and pictures exist, every picture is shown
somewhere and made by docs/make_pictures.py, and every learner program has its page."""
import os
import re
import sys

import cv2
import pytest
from layout import EXAMPLES, DOCS

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
    made = {shot.name for shot in make_pictures().SHOTS} | {make_pictures().WEB_VIEW}
    files = os.listdir(PICTURES)
    assert sorted(os.path.splitext(name)[0] for name in files) == sorted(made)
    shown = {os.path.basename(link) for page in pages() for link in links(page)
             if link.startswith("pictures/")}
    assert shown == set(files)


def test_pictures_are_small():
    total = 0
    for name in os.listdir(PICTURES):
        path = os.path.join(PICTURES, name)
        picture = cv2.imread(path)
        assert picture is not None and picture.shape[1] <= 640, name
        total += os.path.getsize(path)
    assert total < 400 * 1024


@pytest.mark.skipif(not os.path.isdir(EXAMPLES), reason="no examples/ in this checkout")
def test_every_example_has_a_page_and_its_picture_program_exists():
    programs = sorted(n for n in os.listdir(EXAMPLES) if n.endswith(".py"))
    referenced = {os.path.basename(link) for page in pages() for link in links(page)
                  if "examples/" in link}
    assert set(programs) <= referenced
    for shot in make_pictures().SHOTS:
        if shot.program.startswith("examples/"):
            assert os.path.basename(shot.program) in programs, shot.name
