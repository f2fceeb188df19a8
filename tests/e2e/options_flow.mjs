// Drives the options pages in headless Chromium through the web server:
// options page -> change every setting -> submit -> result box -> Back -> options page.
// Usage: node options_flow.mjs BASE_URL SCREENSHOT_FOLDER PROFILE_FOLDER
import { check, openBrowser } from './browser.mjs';

const [baseUrl, shots, profile] = process.argv.slice(2);
const settings = {
  NIMBA_MODE: '1',
  NIMBA_ORGID: 'acme org',
  NIMBA_DTYPEID: 'gate&way',
  NIMBA_AUTHTOKEN: 'tok<en>',
  NIMBA_QOS: '1',
};

const { context, page } = await openBrowser(profile, 420);
try {

  const first = await page.goto(baseUrl);
  check(first.ok(), `options page status ${first.status()}`);
  check(await page.title() === 'NIMBA Message Router', 'options page title');
  check(await page.locator('td.title', { hasText: 'Options' }).count() === 1, 'window title');
  check(await page.inputValue('select[name=NIMBA_MODE]') === '0', 'stored mode shown');
  check(await page.inputValue('input[name=NIMBA_ORGID]') === 'old-org', 'stored orgid shown');
  check(await page.inputValue('select[name=NIMBA_QOS]') === '0', 'stored delivery shown');
  check(await page.inputValue('select[name=NIMBA_SSL]') === '1', 'stored connection shown');
  await page.screenshot({ path: `${shots}/options-page.png`, clip: { x: 0, y: 0, width: 900, height: 294 } });

  for (const name of ['NIMBA_MODE', 'NIMBA_QOS']) await page.selectOption(`select[name=${name}]`, settings[name]);
  for (const name of ['NIMBA_ORGID', 'NIMBA_DTYPEID', 'NIMBA_AUTHTOKEN'])
    await page.fill(`input[name=${name}]`, settings[name]);
  await Promise.all([page.waitForURL('**/set.cgi'), page.click('input[value="Apply changes"]')]);
  const box = page.locator('td', { hasText: 'Configuration successfully updated.' });
  check(await box.count() >= 1, 'success text');
  check(await page.locator('td[bgcolor="#008000"]').count() === 1, 'green title bar');
  const frame = await page.locator('table.window').first().boundingBox();
  await page.screenshot({
    path: `${shots}/result-box.png`,
    clip: { x: frame.x - 12, y: frame.y - 8, width: frame.width + 24, height: frame.height + 16 },
  });

  await Promise.all([page.waitForURL('**/index.cgi'), page.click('input[value="Back"]')]);
  for (const name of ['NIMBA_ORGID', 'NIMBA_DTYPEID', 'NIMBA_AUTHTOKEN'])
    check(await page.inputValue(`input[name=${name}]`) === settings[name], `${name} shown after save`);
  for (const name of ['NIMBA_MODE', 'NIMBA_QOS'])
    check(await page.inputValue(`select[name=${name}]`) === settings[name], `${name} shown after save`);

  await Promise.all([page.waitForURL('**/restart.cgi'), page.click('text=Restart module')]);
  check(await page.locator('td', { hasText: 'Module successfully restarted.' }).count() >= 1,
        'restart text');
  check(await page.locator('td[bgcolor="#008000"]').count() === 1, 'restart green title bar');
  await Promise.all([page.waitForURL('**/index.cgi'), page.click('input[value="Ok"]')]);

  // Log text is shown as text: a script in a log line must not run.
  let dialogs = 0;
  page.on('dialog', async (dialog) => { dialogs++; await dialog.dismiss(); });
  await Promise.all([page.waitForURL('**/slog.cgi'), page.click('text=View System Log')]);
  const log = await page.locator('pre').innerText();
  check(log.includes('web: <script>alert("log")</script> & more'), `log line shown as text: ${log}`);
  check(log.includes('older line 2') && !log.includes('older line 1\n'), 'last 25 lines');
  check(dialogs === 0, 'no script ran from the log');
  console.log('options flow passed');
} finally {
  await context.close();
}
