"""The map page in a real headless Chromium (Debian's chromium and
chromium-driver, driven by Selenium): the street network drawn, two points
set by typing and by a click, three routes drawn and the table filled.

NORVEL_SCREENSHOT=docs/map_page.png keeps a picture of the page."""

import math
import os

import pytest
from selenium import webdriver
from selenium.webdriver import ActionChains
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

import norvel
from live_server import LiveServer, sample_graph

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
ORIGIN, DESTINATION = 6138118389, 1490965433


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    # Both paths given: Selenium Manager never looks for (or downloads) one.
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                     "--disable-gpu", "--window-size=1400,900", "--lang=en-US"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(executable_path=CHROMEDRIVER),
                              options=options)
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def page_server():
    live = LiveServer(sample_graph(), "--workers", "2")
    yield live
    live.stop()


def typed_point(browser, lat, lon):
    field = browser.find_element(By.ID, "point")
    field.send_keys(f"{lat},{lon}")
    browser.find_element(By.CSS_SELECTOR, "#point-form button[type=submit]").click()


def test_two_points_give_three_routes_in_three_colours_and_a_table(browser, page_server):
    table = norvel.Router.from_file(sample_graph()).table
    wait = WebDriverWait(browser, 60)
    browser.get(page_server.url + "/")
    wait.until(lambda b: int(b.find_element(By.ID, "map").get_attribute("data-streets")
                             or 0) > 5000)
    assert browser.find_element(By.ID, "status").text.startswith("Click the map")

    # A click sets the start; the third point starts anew.
    ActionChains(browser).move_to_element_with_offset(
        browser.find_element(By.ID, "map"), 20, 15).click().perform()
    assert len(browser.find_elements(By.CSS_SELECTOR, "#markers .start")) == 1
    browser.find_element(By.ID, "clear").click()
    assert browser.find_elements(By.CSS_SELECTOR, "#markers circle") == []

    typed_point(browser, *table[ORIGIN])
    typed_point(browser, *table[DESTINATION])
    wait.until(lambda b: len(b.find_elements(By.CSS_SELECTOR, "#routes-table tbody tr")) == 3)
    lines = browser.find_elements(By.CSS_SELECTOR, "#routes path.route")
    assert len(lines) == 3
    assert len({line.get_attribute("stroke") for line in lines}) == 3
    assert all(len(line.get_attribute("d")) > 100 for line in lines)
    rows = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in browser.find_elements(By.CSS_SELECTOR, "#routes-table tbody tr")]
    assert [row[0] for row in rows] == ["shortest", "safest", "balanced"]
    routes = norvel.Router.from_file(sample_graph()).route(ORIGIN, DESTINATION)
    for row, route in zip(rows, routes):
        assert row[1:4] == [f"{math.floor(route.distance_m + 0.5)} m", f"{route.risk:.4f}",
                            f"{route.time_min:.1f} min"]
        assert row[4] == (", ".join(route.streets) or "–")
    assert browser.find_elements(By.CSS_SELECTOR, "#status.error") == []

    if os.environ.get("NORVEL_SCREENSHOT"):
        browser.save_screenshot(os.environ["NORVEL_SCREENSHOT"])
