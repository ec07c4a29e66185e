"""The map page in a real headless Chromium (Debian's chromium and
chromium-driver, driven by Selenium): the street network drawn, two points
set by typing and by a click, three routes and two alternatives drawn, the
table filled and the view fitted to them; an area drawn and a street
closed, avoided and struck out, by routes and catchments; a stop added
with Shift; a catchment's streets in the bands of its minutes and of its
safety detours.

NORVEL_SCREENSHOT=docs/map_page.png and
NORVEL_CATCHMENT_SCREENSHOT=docs/catchment_page.png keep pictures of the
page."""

import json
import math
import os

import numpy as np
import pytest
from selenium import webdriver
from selenium.webdriver import ActionChains
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

import norvel
from live_server import LiveServer, sample_graph

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
ORIGIN, DESTINATION = 6138118389, 1490965433
#: The alternatives the page asks for.
ALTERNATIVES = 2


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


def route_rows(browser, cells):
    """The first ``cells`` cells of each row of the routes' table; None while
    the table is being drawn anew."""
    try:
        return [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")][:cells]
                for row in browser.find_elements(By.CSS_SELECTOR, "#routes-table tbody tr")]
    except StaleElementReferenceException:
        return None


def typed_point(browser, lat, lon):
    field = browser.find_element(By.ID, "point")
    field.send_keys(f"{lat},{lon}")
    browser.find_element(By.CSS_SELECTOR, "#point-form button[type=submit]").click()


def opened_page(browser, page_server):
    """The page loaded and its streets drawn; the wait for what follows."""
    wait = WebDriverWait(browser, 60)
    browser.get(page_server.url + "/")
    wait.until(lambda b: int(b.find_element(By.ID, "map").get_attribute("data-streets")
                             or 0) > 5000)
    return wait


def catchment_mode(browser, minutes):
    """The page in catchment mode, asking for ``minutes``."""
    browser.find_element(By.CSS_SELECTOR, "input[name=mode][value=catchment]").click()
    field = browser.find_element(By.ID, "minutes")
    field.clear()
    field.send_keys(str(minutes))


def test_two_points_give_three_routes_and_two_alternatives_and_a_table(browser, page_server):
    table = norvel.Router.from_file(sample_graph()).table
    wait = opened_page(browser, page_server)
    assert browser.find_element(By.ID, "status").text.startswith("Click the map")

    # A click sets the start; the third point starts anew.
    ActionChains(browser).move_to_element_with_offset(
        browser.find_element(By.ID, "map"), 20, 15).click().perform()
    assert len(browser.find_elements(By.CSS_SELECTOR, "#markers .start")) == 1
    browser.find_element(By.ID, "clear").click()
    assert browser.find_elements(By.CSS_SELECTOR, "#markers circle") == []

    typed_point(browser, *table[ORIGIN])
    typed_point(browser, *table[DESTINATION])
    wait.until(lambda b: len(b.find_elements(By.CSS_SELECTOR, "#routes-table tbody tr")) == 5)
    lines = browser.find_elements(By.CSS_SELECTOR, "#routes path.route")
    assert len(lines) == 5
    assert len({line.get_attribute("stroke") for line in lines}) == 4
    assert all(len(line.get_attribute("d")) > 100 for line in lines)
    rows = [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
            for row in browser.find_elements(By.CSS_SELECTOR, "#routes-table tbody tr")]
    assert [row[0] for row in rows] == ["shortest", "safest", "balanced", "alternative",
                                        "alternative"]
    # The alternatives drawn under the three, muted and dashed.
    assert [line.get_attribute("class") for line in lines][:2] == ["route alternative"] * 2
    assert lines[0].value_of_css_property("stroke-dasharray") != "none"
    routes = norvel.Router.from_file(sample_graph()).route(ORIGIN, DESTINATION,
                                                            alternatives=ALTERNATIVES)
    for row, route in zip(rows, routes):
        assert row[1:4] == [f"{math.floor(route.distance_m + 0.5)} m", f"{route.risk:.4f}",
                            f"{route.time_min:.1f} min"]
        assert row[4] == (", ".join(route.streets) or "–")
    assert browser.find_elements(By.CSS_SELECTOR, "#status.error") == []

    # Another risk layer: the same ends, searched on it.
    risk = Select(browser.find_element(By.ID, "risk"))
    assert [option.get_attribute("value") for option in risk.options] == ["default", "day", "night"]
    risk.select_by_value("day")
    by_day = norvel.Router.from_file(sample_graph()).route(ORIGIN, DESTINATION, risk="day",
                                                            alternatives=ALTERNATIVES)
    wanted = [[route.type, f"{math.floor(route.distance_m + 0.5)} m", f"{route.risk:.4f}"]
              for route in by_day]
    assert [row[2] for row in wanted] != [row[2] for row in rows]
    wait.until(lambda b: route_rows(b, 3) == wanted)


def test_the_chosen_routes_steps_beside_the_map(browser, page_server):
    """The shortest route's steps are listed at once, a click on a route
    lists its own; hovering a step draws its stretch; risky steps are
    those whose risk per metre is over 1.5 times the route's."""
    router = norvel.Router.from_file(sample_graph())
    routes = router.route(ORIGIN, DESTINATION)
    wait = opened_page(browser, page_server)
    typed_point(browser, *router.table[ORIGIN])
    typed_point(browser, *router.table[DESTINATION])
    wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#steps li"))
    for route in (routes[0], routes[1]):
        if route is routes[1]:
            browser.find_element(By.CSS_SELECTOR, "#routes-table tr[data-type=safest]").click()
        panel = browser.find_element(By.ID, "steps-panel")
        assert panel.get_attribute("data-type") == route.type
        items = browser.find_elements(By.CSS_SELECTOR, "#steps li")
        assert len(items) == len(route.steps)
        per_metre = route.risk / route.distance_m
        for item, step in zip(items, route.steps):
            assert step.instruction in item.text
            assert f"risk {step.risk:.4f}" in item.text
            risky = step.distance_m > 0 and step.risk / step.distance_m > 1.5 * per_metre
            assert ("risky" in item.get_attribute("class").split()) == risky
        assert any(s.distance_m > 0 and s.risk / s.distance_m > 1.5 * per_metre
                   for s in route.steps) or route is routes[1]
    middle = len(routes[1].steps) // 2
    ActionChains(browser).move_to_element(items[middle]).perform()
    highlight = browser.find_element(By.ID, "highlight")
    step = routes[1].steps[middle]
    assert (highlight.get_attribute("data-first"), highlight.get_attribute("data-last")) == \
        (str(step.first_node), str(step.last_node))
    assert len(highlight.find_element(By.TAG_NAME, "path").get_attribute("d")) > 20
    ActionChains(browser).move_to_element(browser.find_element(By.ID, "status")).perform()
    assert browser.find_elements(By.CSS_SELECTOR, "#highlight path") == []


# The page's bands: five equal ones of the minutes asked for; detours
# cut at these metres (a detour above a limit is past it).
DETOUR_LIMITS = [0, 50, 150, 300, 600]
STATION = (60.1699, 24.9384)


def expected_bands(router, minutes, direction):
    """The number of streets in each band of each scale, from the library."""
    catchment = router.catchment(STATION, minutes, direction=direction)
    streets = catchment.to_geodataframe("edges")
    detours = catchment.nodes.set_index("node")["detour_m"][streets["tail"]].to_numpy()
    step = minutes / 5
    by_minutes = np.minimum(np.floor(streets["minutes"].to_numpy() / step), 4)
    by_detour = np.searchsorted(DETOUR_LIMITS, detours, side="left")
    return (len(streets), np.bincount(by_minutes.astype(int), minlength=5).tolist(),
            np.bincount(by_detour, minlength=6).tolist())


def drawn_bands(browser):
    return [int(path.get_attribute("data-count"))
            for path in browser.find_elements(By.CSS_SELECTOR, "#catchment path.band")]


def test_a_catchment_coloured_by_minutes_and_by_safety_detour(browser, page_server):
    router = norvel.Router.from_file(sample_graph())
    wait = opened_page(browser, page_server)
    assert not browser.find_element(By.ID, "catchment-options").is_displayed()
    browser.find_element(By.CSS_SELECTOR, "input[name=mode][value=catchment]").click()
    assert browser.find_element(By.ID, "status").text == (
        "Click the map or type lat,lon to set the place.")
    assert not browser.find_element(By.ID, "routes-table").is_displayed()
    minutes = browser.find_element(By.ID, "minutes")
    minutes.clear()
    minutes.send_keys("10")

    segments, by_minutes, by_detour = expected_bands(router, 10.0, "to")
    typed_point(browser, *STATION)
    group = browser.find_element(By.ID, "catchment")
    wait.until(lambda b: group.get_attribute("data-segments") == str(segments))
    assert len(browser.find_elements(By.CSS_SELECTOR, "#markers .place")) == 1
    assert drawn_bands(browser) == by_minutes
    legend = browser.find_element(By.ID, "legend")
    assert legend.find_element(By.TAG_NAME, "caption").text == "Minutes of the shortest walk"
    assert [row.text for row in legend.find_elements(By.CSS_SELECTOR, "tbody tr")] == [
        f"{band} {count} streets" for band, count in zip(
            ["0–2 min", "2–4 min", "4–6 min", "6–8 min", "8–10 min"], by_minutes)]
    nodes = len(router.catchment(STATION, 10.0))
    assert browser.find_element(By.ID, "status").text.startswith(
        f"{nodes} nodes within 10 min walking to node ")

    browser.find_element(By.CSS_SELECTOR, "input[name=colour-by][value=detour]").click()
    assert group.get_attribute("data-colour-by") == "detour"
    assert drawn_bands(browser) == by_detour
    strokes = [path.get_attribute("stroke")
               for path in browser.find_elements(By.CSS_SELECTOR, "#catchment path.band")]
    assert len(set(strokes)) == 6
    assert legend.find_element(By.TAG_NAME, "caption").text.startswith("Safety detour")
    if os.environ.get("NORVEL_CATCHMENT_SCREENSHOT"):
        browser.save_screenshot(os.environ["NORVEL_CATCHMENT_SCREENSHOT"])

    # Another direction asks again; a bad time limit gets the service's message.
    segments, _, by_detour = expected_bands(router, 10.0, "from")
    Select(browser.find_element(By.ID, "direction")).select_by_value("from")
    wait.until(lambda b: "walking from node" in b.find_element(By.ID, "status").text)
    assert group.get_attribute("data-segments") == str(segments)
    assert drawn_bands(browser) == by_detour
    minutes.clear()
    minutes.send_keys("-1", Keys.TAB)
    wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#status.error"))
    assert browser.find_element(By.ID, "status").text == (
        "minutes must be a number >= 0, got -1.0 (400)")
    assert browser.find_elements(By.CSS_SELECTOR, "#catchment path") == []

    # Back to routes: the catchment goes, the routes' table comes back.
    browser.find_element(By.CSS_SELECTOR, "input[name=mode][value=route]").click()
    assert browser.find_elements(By.CSS_SELECTOR, "#markers circle") == []
    assert browser.find_element(By.ID, "routes-table").is_displayed()
    assert not browser.find_element(By.ID, "catchment-options").is_displayed()
    assert not browser.find_element(By.ID, "catchment-panel").is_displayed()


CHANGE_LIMITS = [50, 150]


def change_band(change):
    """The page's band of a change in safety detour (None: not compared)."""
    if change is None or math.isnan(change):
        return 7
    if change == 0:
        return 3
    step = sum(abs(change) > limit for limit in CHANGE_LIMITS)
    return 2 - step if change < 0 else 4 + step


def test_a_catchment_compared_with_another_layer(browser, page_server):
    router = norvel.Router.from_file(sample_graph())
    wait = opened_page(browser, page_server)
    catchment_mode(browser, 8)
    compare = Select(browser.find_element(By.ID, "compare"))
    layers = [option.get_attribute("value") for option in compare.options]
    assert layers == ["", *router.risk_layers]
    change = browser.find_element(By.CSS_SELECTOR, "input[name=colour-by][value=change]")
    assert not change.is_enabled()
    typed_point(browser, *STATION)
    group = browser.find_element(By.ID, "catchment")
    catchment = router.catchment(STATION, 8.0)
    wait.until(lambda b: group.get_attribute("data-segments") == str(len(catchment.segments())))
    assert not browser.find_element(By.ID, "compare-summary").is_displayed()

    layer = layers[-1]
    compare.select_by_value(layer)
    wait.until(lambda b: group.get_attribute("data-colour-by") == "change")
    assert change.is_enabled() and change.is_selected()
    segments = catchment.segments()
    frame = catchment.compare(router.catchment(STATION, 8.0, risk=layer)).set_index("node")
    expected = np.bincount([change_band(frame.at[int(tail), "change_detour_m"])
                            for tail in segments.tail], minlength=8).tolist()
    wait.until(lambda b: drawn_bands(b) == expected)
    legend = browser.find_element(By.ID, "legend")
    assert legend.find_element(By.TAG_NAME, "caption").text == (
        f"Change in safety detour against {layer}")
    assert [row.text for row in legend.find_elements(By.CSS_SELECTOR, "tbody tr")][3] == (
        f"the same {expected[3]} streets")
    summary = browser.find_element(By.ID, "compare-summary")
    assert summary.is_displayed() and summary.text.startswith(f"Against {layer}: ")
    assert browser.find_elements(By.CSS_SELECTOR, "#status.error") == []

    # No other layer: back to the minutes, and the change cannot be chosen.
    compare.select_by_value("")
    wait.until(lambda b: group.get_attribute("data-colour-by") == "minutes")
    assert not change.is_enabled()
    wait.until(lambda b: not b.find_element(By.ID, "compare-summary").is_displayed())


def test_a_time_of_day_is_sent_in_place_of_the_layer(browser, page_server):
    # The sample graph's layers have the converter's hours: at 22:30 the
    # service searches on "night", whatever layer the selector shows.
    table = norvel.Router.from_file(sample_graph()).table
    wait = opened_page(browser, page_server)
    Select(browser.find_element(By.ID, "risk")).select_by_value("day")
    typed_point(browser, *table[ORIGIN])
    typed_point(browser, *table[DESTINATION])
    router = norvel.Router.from_file(sample_graph())
    rows = lambda routes: [[r.type, f"{math.floor(r.distance_m + 0.5)} m", f"{r.risk:.4f}"]
                           for r in routes]
    wait.until(lambda b: route_rows(b, 3) == rows(router.route(
        ORIGIN, DESTINATION, risk="day", alternatives=ALTERNATIVES)))
    field = browser.find_element(By.ID, "time")
    assert field.get_attribute("type") == "time"
    browser.execute_script("arguments[0].value = '22:30';"
                           "arguments[0].dispatchEvent(new Event('change'));", field)
    wait.until(lambda b: route_rows(b, 3) == rows(router.route(
        ORIGIN, DESTINATION, at="22:30", alternatives=ALTERNATIVES)))
    assert browser.find_elements(By.CSS_SELECTOR, "#status.error") == []


def screen_offset(browser, lat, lon):
    """The offset from the map's centre, in CSS pixels, of where the page
    draws a point."""
    x, y = browser.execute_script(
        "const p = map.createSVGPoint(); p.x = view.x(arguments[1]); p.y = view.y(arguments[0]);"
        "const q = p.matrixTransform(map.getScreenCTM()); return [q.x, q.y];", lat, lon)
    box = browser.find_element(By.ID, "map").rect
    return round(x - box["x"] - box["width"] / 2), round(y - box["y"] - box["height"] / 2)


def click_at(browser, lat, lon, key=None):
    actions = ActionChains(browser)
    if key:
        actions.key_down(key)
    actions.move_to_element_with_offset(browser.find_element(By.ID, "map"),
                                        *screen_offset(browser, lat, lon)).click()
    if key:
        actions.key_up(key)
    actions.perform()


def table_rows(routes):
    return [[route.type, f"{math.floor(route.distance_m + 0.5)} m", f"{route.risk:.4f}"]
            for route in routes]


def box_polygon(text):
    a, b, c, d = map(float, text.split(","))
    return {"type": "Polygon", "coordinates": [[[a, b], [c, b], [c, d], [a, d], [a, b]]]}


def routes_drawn(browser, wait, query_has):
    """Waits for routes asked for with ``query_has`` in their query."""
    wait.until(lambda b: query_has in (b.find_element(By.ID, "routes")
                                       .get_attribute("data-query") or ""))
    return route_rows(browser, 3)


def set_ends(browser, page_server, router):
    wait = opened_page(browser, page_server)
    typed_point(browser, *router.table[ORIGIN])
    typed_point(browser, *router.table[DESTINATION])
    wait.until(lambda b: len(b.find_elements(By.CSS_SELECTOR, "#routes-table tbody tr")) == 5)
    return wait


def test_the_view_fits_the_routes(browser, page_server):
    router = norvel.Router.from_file(sample_graph())
    set_ends(browser, page_server, router)
    (view, whole, drawn) = browser.execute_script(
        "const r = document.getElementById('routes').getBBox();"
        "return [map.getAttribute('viewBox').split(' ').map(Number), wholeBox,"
        "        [r.x, r.y, r.width, r.height]];")
    x, y, width, height = view
    assert width < whole[2] / 2
    assert x < drawn[0] and y < drawn[1]
    assert drawn[0] + drawn[2] < x + width and drawn[1] + drawn[3] < y + height
    # A margin, not a wide view: the routes fill most of one side.
    assert max(drawn[2] / width, drawn[3] / height) > 0.6


def test_an_area_drawn_and_a_street_closed_are_avoided_and_struck_out(browser, page_server):
    router = norvel.Router.from_file(sample_graph())
    wait = set_ends(browser, page_server, router)
    shortest = router.route(ORIGIN, DESTINATION)[0]
    lat, lon = router.table[shortest.nodes[len(shortest.nodes) // 2]]

    browser.find_element(By.ID, "avoid-area").click()
    start = screen_offset(browser, lat + 0.0002, lon - 0.0003)
    end = screen_offset(browser, lat - 0.0002, lon + 0.0003)
    ActionChains(browser).move_to_element_with_offset(
        browser.find_element(By.ID, "map"), *start).click_and_hold().move_by_offset(
        end[0] - start[0], end[1] - start[1]).release().perform()
    rows = routes_drawn(browser, wait, "avoid_bbox")
    (rect,) = browser.find_elements(By.CSS_SELECTOR, "#avoided rect")
    area = box_polygon(rect.get_attribute("data-bbox"))
    avoided = router.route(ORIGIN, DESTINATION, alternatives=ALTERNATIVES, avoid=area)
    assert avoided[0].nodes != shortest.nodes
    wait.until(lambda b: route_rows(b, 3) == table_rows(avoided))
    assert markers(browser) == 2  # the drag set no point

    # A street of the new shortest route closed: both its edges avoided.
    first, second = avoided[0].nodes[3:5]
    (lat_a, lon_a), (lat_b, lon_b) = router.table[first], router.table[second]
    browser.find_element(By.ID, "close-street").click()
    click_at(browser, (lat_a + lat_b) / 2, (lon_a + lon_b) / 2)
    wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#avoided path.closed"))
    closed = browser.find_element(By.CSS_SELECTOR, "#avoided path.closed")
    assert sorted(map(tuple, json.loads(closed.get_attribute("data-line")))) == sorted(
        [(lon_a, lat_a), (lon_b, lat_b)])
    edges = router.edges()
    both = edges.index[((edges["from"] == first) & (edges["to"] == second))
                       | ((edges["from"] == second) & (edges["to"] == first))].tolist()
    street = box_polygon(closed.get_attribute("data-bbox"))
    assert router.session.avoided(street).tolist() == sorted(both)
    closed_too = router.route(ORIGIN, DESTINATION, alternatives=ALTERNATIVES,
                              avoid=[area, street])
    assert closed_too[0].nodes != avoided[0].nodes
    wait.until(lambda b: route_rows(b, 3) == table_rows(closed_too))
    assert browser.find_element(By.ID, "avoided-summary").text == (
        "Avoided: 1 area, 1 closed street (struck out in red).")
    assert closed.value_of_css_property("stroke-dasharray") != "none"
    if os.environ.get("NORVEL_SCREENSHOT"):
        browser.save_screenshot(os.environ["NORVEL_SCREENSHOT"])

    browser.find_element(By.ID, "clear-avoided").click()
    wait.until(lambda b: route_rows(b, 3) == table_rows(
        router.route(ORIGIN, DESTINATION, alternatives=ALTERNATIVES)))
    assert browser.find_elements(By.CSS_SELECTOR, "#avoided *") == []


def test_a_catchment_goes_round_what_is_avoided(browser, page_server):
    router = norvel.Router.from_file(sample_graph())
    wait = opened_page(browser, page_server)
    catchment_mode(browser, 10)
    typed_point(browser, *STATION)
    group = browser.find_element(By.ID, "catchment")
    segments = lambda avoid=None: len(router.catchment(STATION, 10.0, avoid=avoid)
                                      .to_geodataframe("edges"))
    wait.until(lambda b: group.get_attribute("data-segments") == str(segments()))

    # An area north of the place, and a street of the place's node closed.
    browser.find_element(By.ID, "avoid-area").click()
    start = screen_offset(browser, STATION[0] + 0.003, STATION[1] - 0.0015)
    end = screen_offset(browser, STATION[0] + 0.001, STATION[1] + 0.0015)
    ActionChains(browser).move_to_element_with_offset(
        browser.find_element(By.ID, "map"), *start).click_and_hold().move_by_offset(
        end[0] - start[0], end[1] - start[1]).release().perform()
    wait.until(lambda b: "avoid_bbox" in (group.get_attribute("data-query") or ""))
    (rect,) = browser.find_elements(By.CSS_SELECTOR, "#avoided rect")
    area = box_polygon(rect.get_attribute("data-bbox"))
    wait.until(lambda b: group.get_attribute("data-segments") == str(segments(area)))
    assert segments(area) < segments()
    place = router.snap(STATION).node
    edges = router.edges()
    other = int(edges["to"][edges["from"] == place].iloc[0])
    (lat_a, lon_a), (lat_b, lon_b) = router.table[place], router.table[other]
    browser.find_element(By.ID, "close-street").click()
    click_at(browser, (lat_a + lat_b) / 2, (lon_a + lon_b) / 2)
    wait.until(lambda b: b.find_elements(By.CSS_SELECTOR, "#avoided path.closed"))
    street = box_polygon(browser.find_element(By.CSS_SELECTOR, "#avoided path.closed")
                         .get_attribute("data-bbox"))
    assert router.session.avoided(street).size
    wait.until(lambda b: group.get_attribute("data-segments") == str(
        segments([area, street])))
    assert segments([area, street]) < segments(area)
    assert browser.find_element(By.ID, "avoided-summary").text == (
        "Avoided: 1 area, 1 closed street (struck out in red).")
    assert browser.find_elements(By.CSS_SELECTOR, "#status.error") == []

    # Opened again, the catchment is the whole one.
    browser.find_element(By.ID, "clear-avoided").click()
    wait.until(lambda b: group.get_attribute("data-segments") == str(segments()))
    assert "avoid_bbox" not in group.get_attribute("data-query")
    assert browser.find_elements(By.CSS_SELECTOR, "#avoided *") == []


def markers(browser):
    return len(browser.find_elements(By.CSS_SELECTOR, "#markers .start, #markers .end"))


def test_a_shift_click_adds_a_stop_the_routes_pass(browser, page_server):
    router = norvel.Router.from_file(sample_graph())
    wait = set_ends(browser, page_server, router)
    # A node off every route: the stop takes them round it.
    routes = router.route(ORIGIN, DESTINATION, alternatives=ALTERNATIVES)
    on_routes = {node for route in routes for node in route.nodes}
    (o_lat, o_lon), (d_lat, d_lon) = router.table[ORIGIN], router.table[DESTINATION]
    aside = min((node for node in router.table if node not in on_routes),
                key=lambda n: abs(router.table[n][0] - (o_lat + d_lat) / 2 - 0.001)
                + abs(router.table[n][1] - (o_lon + d_lon) / 2))
    click_at(browser, *router.table[aside], Keys.SHIFT)
    routes_drawn(browser, wait, "via=")
    (stop,) = browser.find_elements(By.CSS_SELECTOR, "#markers .stop")
    place = (float(stop.get_attribute("data-lat")), float(stop.get_attribute("data-lon")))
    through = router.route(ORIGIN, DESTINATION, via=[place], alternatives=ALTERNATIVES)
    wait.until(lambda b: route_rows(b, 3) == table_rows(through))
    assert router.nearest(*place).node in through[0].nodes
    assert markers(browser) == 2

    browser.find_element(By.ID, "clear-stops").click()
    wait.until(lambda b: "via" not in b.find_element(By.ID, "routes").get_attribute(
        "data-query"))
    assert route_rows(browser, 3) == table_rows(routes)
    assert browser.find_elements(By.CSS_SELECTOR, "#markers .stop") == []
