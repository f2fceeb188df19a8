// Drives the status page in headless Chromium through the web server, with the real daemon
// behind it: status page (the cloud refused the token) -> Options -> the right token ->
// Apply changes -> Relay Status -> Refresh until both sides are up -> the JSON form.
// Usage: node status_flow.mjs BASE_URL SCREENSHOT_FOLDER PROFILE_FOLDER
import { check, openBrowser } from './browser.mjs';

const [baseUrl, shots, profile] = process.argv.slice(2);

// The value cell of a row in the section under the given header.
function cell(page, section, label) {
  return page.locator(`xpath=//td[normalize-space()='${section}']/ancestor::table[1]` +
                      `/following-sibling::table[1]//tr[td[1][normalize-space()='${label}']]/td[2]`);
}

const { context, page } = await openBrowser(profile, 760);
try {

  const first = await page.goto(`${baseUrl}status.cgi`);
  check(first.ok(), `status page status ${first.status()}`);
  check(await page.title() === 'NIMBA Message Router', 'status page title');
  check(await page.locator('td.title', { hasText: 'Relay Status' }).count() === 1, 'window title');
  const menu = await page.locator('a').allInnerTexts();
  check(menu.indexOf('Relay Status') >= 0 && menu.indexOf('Relay Status') < menu.indexOf('View System Log'),
        `Relay Status first in the menu: ${menu}`);
  check(await cell(page, 'NIMBA Cloud', 'State').innerText() === 'down', 'cloud down with the wrong token');
  check(await cell(page, 'NIMBA Cloud', 'State').locator('font[color="#800000"]').count() === 1, 'down in red');
  const reason = await cell(page, 'NIMBA Cloud', 'Reason').innerText();
  check(reason === 'RC 5: not authorised: check the organisation and the token', `reason: ${reason}`);
  check(/ago\)$/.test(await cell(page, 'NIMBA Cloud', 'Last failure').innerText()), 'failure time and age');

  await Promise.all([page.waitForURL('**/index.cgi'), page.click('text=Options')]);
  check(await page.inputValue('input[name=NIMBA_AUTHTOKEN]') === 'tok-bad', 'stored token shown');
  await page.fill('input[name=NIMBA_AUTHTOKEN]', 'tok-good');
  await Promise.all([page.waitForURL('**/set.cgi'), page.click('input[value="Apply changes"]')]);
  check(await page.locator('td', { hasText: 'Configuration successfully updated.' }).count() >= 1,
        'settings applied');
  await Promise.all([page.waitForURL('**/index.cgi'), page.click('input[value="Back"]')]);
  await Promise.all([page.waitForURL('**/status.cgi'), page.click('text=Relay Status')]);

  // The restarted daemon connects at once; the page is refreshed until it shows that.
  const deadline = Date.now() + 30000;
  for (;;) {
    const cloud = await cell(page, 'NIMBA Cloud', 'State').innerText();
    const gateway = await cell(page, 'IoT Gateway', 'State').innerText();
    if (cloud === 'up' && gateway === 'up') break;
    check(Date.now() < deadline, `both sides up in time (cloud ${cloud}, gateway ${gateway})`);
    await page.waitForTimeout(300);
    await Promise.all([page.waitForLoadState('load'), page.click('input[value="Refresh"]')]);
  }
  check(await cell(page, 'NIMBA Cloud', 'State').locator('font[color="#008000"]').count() === 1, 'up in green');
  check(await cell(page, 'NIMBA Cloud', 'Last failure').innerText() === 'none', 'the new daemon has not failed');
  check(/^acme\..*:1883$/.test(await cell(page, 'NIMBA Cloud', 'Broker').innerText()), 'registered broker');
  const frame = await page.locator('table.window').nth(1).boundingBox();
  await page.screenshot({
    path: `${shots}/status-page.png`,
    clip: { x: 0, y: 0, width: 900, height: Math.ceil(frame.y + frame.height + 8) },
  });

  const json = await page.request.get(`${baseUrl}status.cgi?format=json`);
  check(json.ok(), `JSON status ${json.status()}`);
  check(json.headers()['content-type'] === 'application/json', `content type ${json.headers()['content-type']}`);
  const record = await json.json();
  check(record.running === true && record.cloud.state === 'up' && record.gateway.state === 'up',
        `JSON record: ${JSON.stringify(record)}`);
  check(record.cloud.last_failure === null && record.messages.received === 0, 'fresh counters');
  console.log('status flow passed');
} finally {
  await context.close();
}
