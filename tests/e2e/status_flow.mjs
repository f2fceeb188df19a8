// Drives the status page in headless Chromium through the web server, with the real daemon
// behind it: status page (the cloud refused the token, sent over plain TCP) -> Options -> the
// right token over TLS -> Apply changes -> Relay Status -> Refresh until both sides are up
// over TLS -> the JSON form.
// Usage: node status_flow.mjs BASE_URL SCREENSHOT_FOLDER PROFILE_FOLDER
import { check, openBrowser } from './browser.mjs';

const [baseUrl, shots, profile] = process.argv.slice(2);

// The value cell of a row in the section under the given header.
function cell(page, section, label) {
  return page.locator(`xpath=//td[normalize-space()='${section}']/ancestor::table[1]` +
                      `/following-sibling::table[1]//tr[td[1][normalize-space()='${label}']]/td[2]`);
}

const TOKEN_WARNING = 'The token is sent unencrypted: choose TLS on the Options page.';

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
  check(/ \((in [0-9]+ seconds?|now)\)$/.test(await cell(page, 'NIMBA Cloud', 'Next attempt').innerText()),
        'next attempt time and wait');
  const gatewayState = cell(page, 'IoT Gateway', 'State');
  check(await gatewayState.innerText() === 'waiting for the cloud', 'the gateway waits for the cloud');
  check(await gatewayState.locator('font').count() === 0, 'waiting is not coloured as a fault');
  check(await cell(page, 'NIMBA Cloud', 'Connection').innerText() === 'plain', 'plain connection shown');
  const warning = page.locator('font[color="#C05000"]', { hasText: TOKEN_WARNING });
  check(await warning.count() === 1, 'token warning over plain TCP');

  await Promise.all([page.waitForURL('**/index.cgi'), page.click('text=Options')]);
  check(await page.inputValue('input[name=NIMBA_AUTHTOKEN]') === 'tok-bad', 'stored token shown');
  check(await page.inputValue('select[name=NIMBA_SSL]') === '0', 'stored connection shown');
  await page.fill('input[name=NIMBA_AUTHTOKEN]', 'tok-good');
  await page.selectOption('select[name=NIMBA_SSL]', { label: 'TLS (port 8883)' });
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
  check(/^ssl:\/\/acme\..*:8883$/.test(await cell(page, 'NIMBA Cloud', 'Broker').innerText()),
        'registered broker over TLS');
  check(await cell(page, 'NIMBA Cloud', 'Connection').innerText() === 'TLS', 'TLS connection shown');
  check(await page.locator('text=' + TOKEN_WARNING).count() === 0, 'no token warning over TLS');
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
  check(record.cloud.tls === true && record.cloud.next_attempt === null, `JSON connection: ${JSON.stringify(record.cloud)}`);
  console.log('status flow passed');
} finally {
  await context.close();
}
